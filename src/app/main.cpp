#include "appversion.h"
#include "mainwindow.h"
#include "qttranslations.h"

#include <QApplication>
#include <QLocale>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    installQtTranslations(&app, QLocale::system());
    MainWindow window;
    window.setWindowTitle(applicationTitle());
    window.show();
    return app.exec();
}
