#ifndef FILECHOOSER_H
#define FILECHOOSER_H

#include <QString>

class QMimeData;

// The filters of an item's file chooser: packages first, then any file.
extern const QString itemFileFilters;

// Where a chooser opens: the folder of the path in its field (the folder
// itself for a folder field) when that exists, else the last folder chosen in
// any chooser, in this launch or an earlier one (kept in QSettings), else the
// home folder.
QString chooserStartFolder(const QString &fieldText, bool fieldIsFolder);

// Notes the folder of a path the user chose, for the next chooser.
void rememberChosenPath(const QString &path, bool pathIsFolder);

// The first local file among dropped data, or an empty string.
QString droppedLocalFile(const QMimeData *data);

#endif // FILECHOOSER_H
