#ifndef ARCHIVEWRITER_H
#define ARCHIVEWRITER_H

#include <QString>
#include <QStringList>

// Sources adding up to more than this many bytes are written with ZIP64
// records. Below it the archive keeps the plain layout that every reader
// takes; the margin leaves room for deflate's growth on incompressible data.
constexpr qint64 zip64Threshold = 3900LL * 1024 * 1024;

// Writes a ZIP archive at archivePath holding each source at the archive's
// root under its file name (the last component of the path as given), in list
// order, deflated at the default level. A source that is a symbolic link is
// stored with the content of the file it points to.
//
// The archive is written to a temporary file beside archivePath and renamed
// into place only when complete, so a failure never leaves a partial archive
// and never touches a file that stood at archivePath before. Missing folders on
// the way to archivePath are created. Returns true when the archive is in place.
bool writeArchive(const QString &archivePath, const QStringList &sourceFiles);

#endif // ARCHIVEWRITER_H
