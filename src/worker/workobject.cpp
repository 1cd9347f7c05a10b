#include "workobject.h"

#include "packagewriter.h"
#include "packagingrun.h"

WorkObject::WorkObject(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<PackageFailure>();
    qRegisterMetaType<PackageItems>();
    qRegisterMetaType<CombinedPackage>();
}

void WorkObject::executeCompress(QString packageName, PackageItems items)
{
    const PackageFailure failure = writePackage(packageName, items, &control);
    emit compressFinished(!failure.failed(), failure);
}

void WorkObject::execDecompress(QString packagePath)
{
    const PackageScreening screening = screenCombinedPackage(packagePath, &control);
    const PackageFailure failure = firstProblem(screening);
    emit decompressFinished(!failure.failed(), screening.package, failure);
}
