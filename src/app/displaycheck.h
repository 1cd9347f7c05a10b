#ifndef DISPLAYCHECK_H
#define DISPLAYCHECK_H

#include <QString>
#include <QStringList>

// On Linux, a window needs an X or Wayland display; without one Qt aborts
// with a message about platform plugins that does not say what to do. This
// gives one line saying how to start the window anyway (in a virtual X
// server), or an empty string when there is a display to try, or a platform
// that needs none is asked for (QT_QPA_PLATFORM, or "-platform NAME" among
// the arguments, the program's name first).
QString missingDisplayHint(const QStringList &arguments);

// Prints that hint on stderr when there is one, and says whether it did;
// main() then ends before Qt would abort.
bool printMissingDisplayHint(int argc, char *argv[]);

#endif // DISPLAYCHECK_H
