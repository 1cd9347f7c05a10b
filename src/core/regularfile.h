#ifndef REGULARFILE_H
#define REGULARFILE_H

#include "packagefailure.h"

#include <QString>

#include <sys/stat.h>

// Opens path for reading only if it is a regular file once links are
// followed. A FIFO, a device or a folder is refused without being waited on.
// Returns the descriptor (and its stat in *info), or -1 with *reason set.
int openRegularFile(const QString &path, struct stat *info, PackageFailure::Reason *reason);

#endif // REGULARFILE_H
