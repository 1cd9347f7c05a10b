#include "workobject.h"

#include "packagingrun.h"

WorkObject::WorkObject(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<PackageFailure>();
    qRegisterMetaType<PackageItems>();
    qRegisterMetaType<CombinedPackage>();
    qRegisterMetaType<WriteOptions>();
    qRegisterMetaType<WrittenArchive>();
    qRegisterMetaType<PackageReport>();
}

void WorkObject::executeCompress(QString packageName, PackageItems items, WriteOptions options)
{
    WrittenArchive written;
    const PackageFailure failure = writePackage(packageName, items, &control, options, &written);
    emit compressFinished(!failure.failed(), failure, written);
}

void WorkObject::execDecompress(QString packagePath)
{
    const PackageScreening screening = screenCombinedPackage(packagePath, &control);
    const PackageFailure failure = firstProblem(screening);
    emit decompressFinished(!failure.failed(), screening.package, failure);
}

void WorkObject::execInspect(QString packagePath)
{
    const PackageReport report = packageReport(inspectPackage(packagePath, &control));
    emit inspectFinished(report);
}
