#include "workobject.h"

#include "archivewriter.h"
#include "packageextractor.h"

WorkObject::WorkObject(QObject *parent)
    : QObject(parent)
{
}

void WorkObject::executeCompress(QString packageName, QStringList sourceFiles)
{
    const bool written = writeArchive(packageName, sourceFiles);
    // The run is done with the extracted items; removing a large folder takes
    // long enough that it belongs here rather than on the GUI thread.
    removeWorkingFolder(extractionFolder);
    emit compressFinished(written);
}

void WorkObject::execDecompress(QString packagePath)
{
    emit decompressFinished(extractPackage(packagePath, extractionFolder));
}
