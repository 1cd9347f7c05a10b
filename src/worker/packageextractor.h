#ifndef PACKAGEEXTRACTOR_H
#define PACKAGEEXTRACTOR_H

#include <QString>

// The folder, relative to the working directory, into which a combined
// package is extracted while a run lasts.
extern const QString extractionFolder;

// True when an archive entry of this name would be written outside the
// folder it is extracted into: an absolute name ("/x", "\x", "C:x") or one
// with a ".." component between either kind of separator.
bool isUnsafeEntryName(const QString &name);

// Removes a working folder and everything in it. A symbolic link standing at
// the path is removed itself, never the folder that it points to; a plain file
// standing there is left alone and reported as a failure.
bool removeWorkingFolder(const QString &folder);

// Extracts every entry of the archive at packagePath into folder, which is
// removed first so that nothing from an earlier run can mix in. The archive
// is screened before anything is written: an archive that cannot be opened,
// holds no entry, or holds an entry with an unsafe name or a symbolic link is
// refused. On any failure the folder is removed again. Returns true when at
// least one entry was extracted and nothing failed.
bool extractPackage(const QString &packagePath, const QString &folder);

#endif // PACKAGEEXTRACTOR_H
