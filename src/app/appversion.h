#ifndef APPVERSION_H
#define APPVERSION_H

#include <QString>

// The program's version, shown after the window title.
extern const QString APP_VERSION;

// The window title: the tool's name directly followed by its version.
QString applicationTitle();

#endif // APPVERSION_H
