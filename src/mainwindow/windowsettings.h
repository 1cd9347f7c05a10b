#ifndef WINDOWSETTINGS_H
#define WINDOWSETTINGS_H

#include <QByteArray>
#include <QString>

// What the window remembers between launches, kept in the application's
// QSettings (the organisation and application names that main() sets).

// The output folder remembered last, as an absolute path; empty when none was
// remembered or when it no longer names a folder.
QString rememberedOutputFolder();

// Remembers folder (as typed; relative to the working directory) when it
// names an existing folder; anything else leaves the remembered one as it is.
void rememberOutputFolder(const QString &folder);

// The window geometry as QWidget::saveGeometry() gave it, or an empty array.
QByteArray rememberedGeometry();
void rememberGeometry(const QByteArray &geometry);

#endif // WINDOWSETTINGS_H
