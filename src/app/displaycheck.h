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

// The same hint when DISPLAY names a display that does not answer or turns
// the program away: Qt finds that out only while QApplication is built, and
// then aborts. While it lives, this holds back Qt's messages; when Qt gives
// up because it could not connect to the display, the hint is printed
// instead and the program ends with exit code 1. Otherwise the messages
// held back are passed on when it is released, and any other fatal error
// goes its usual way. Create it just before QApplication, release it after.
class DisplayConnectionWatch
{
public:
    explicit DisplayConnectionWatch(const char *program);
    ~DisplayConnectionWatch() { release(); }
    DisplayConnectionWatch(const DisplayConnectionWatch &) = delete;
    DisplayConnectionWatch &operator=(const DisplayConnectionWatch &) = delete;
    void release();

private:
    bool watching = true;
};

#endif // DISPLAYCHECK_H
