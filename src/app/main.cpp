#include "appversion.h"
#include "displaycheck.h"
#include "mainwindow.h"
#include "qttranslations.h"

#include <QApplication>
#include <QIcon>
#include <QLocale>

int main(int argc, char *argv[])
{
    if (printMissingDisplayHint(argc, argv))
        return 1;
    // Where QSettings keeps what the window remembers between launches.
    QCoreApplication::setOrganizationName(QStringLiteral("upgrade-package-tool"));
    QCoreApplication::setApplicationName(QStringLiteral("upgrade-package-tool"));
    DisplayConnectionWatch displayWatch(argv[0]);
    QApplication app(argc, argv);
    displayWatch.release();
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/upgrade-package-tool.png")));
    installQtTranslations(&app, QLocale::system());
    MainWindow window;
    window.setWindowTitle(applicationTitle());
    window.show();
    // Files given to the program; Qt has taken its own options out.
    window.openFiles(app.arguments().mid(1));
    return app.exec();
}
