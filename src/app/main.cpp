#include "appversion.h"
#include "displaycheck.h"
#include "mainwindow.h"
#include "qttranslations.h"

#include <QApplication>
#include <QLocale>

#include <cstdio>

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const QString hint = missingDisplayHint(arguments);
    if (!hint.isEmpty()) {
        std::fprintf(stderr, "%s\n", hint.toUtf8().constData());
        return 1;
    }
    // Where QSettings keeps what the window remembers between launches.
    QCoreApplication::setOrganizationName(QStringLiteral("upgrade-package-tool"));
    QCoreApplication::setApplicationName(QStringLiteral("upgrade-package-tool"));
    QApplication app(argc, argv);
    installQtTranslations(&app, QLocale::system());
    MainWindow window;
    window.setWindowTitle(applicationTitle());
    // Qt has taken its own options out of the arguments.
    window.addCombinedPackageRows(app.arguments().mid(1));
    window.show();
    return app.exec();
}
