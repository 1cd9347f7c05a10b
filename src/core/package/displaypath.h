#ifndef DISPLAYPATH_H
#define DISPLAYPATH_H

#include <QString>

// A path as the user's system writes it: absolute, cleaned, native separators.
QString displayPath(const QString &path);

// The same in 「」, so that a blank at either end of it shows.
QString quotedPath(const QString &path);

// What a path that was not found needs to hear when the blanks at its ends
// are the trouble (a path pasted with a blank): "路径末尾有空格，去掉空格后
// 的路径存在：「…」", said only when the path without them exists (as a
// folder, where a folder is wanted). Empty otherwise.
enum class WantedPath { AnyFile, Folder };
QString blankEndsHint(const QString &path, WantedPath wanted);

#endif // DISPLAYPATH_H
