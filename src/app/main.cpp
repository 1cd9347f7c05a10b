#include "appversion.h"
#include "mainwindow.h"
#include "qttranslations.h"

#include <QApplication>
#include <QIcon>
#include <QLocale>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/upgrade-package-tool.png")));
    installQtTranslations(&app, QLocale::system());
    MainWindow window;
    window.setWindowTitle(applicationTitle());
    window.show();
    return app.exec();
}
