#include "workobject.h"

#include "archivewriter.h"
#include "packageextractor.h"

WorkObject::WorkObject(QObject *parent)
    : QObject(parent)
{
}

void WorkObject::executeCompress(QString packageName, QStringList sourceFiles)
{
    emit compressFinished(writeArchive(packageName, sourceFiles));
}

void WorkObject::execDecompress(QString packagePath)
{
    emit decompressFinished(extractPackage(packagePath, extractionFolder));
}
