#include "qttranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

bool installQtTranslations(QCoreApplication *app, const QLocale &locale)
{
    if (locale.language() != QLocale::Chinese)
        return false;
    // qtbase_*.qm holds the texts of Qt Core, Gui and Widgets. It is looked
    // for beside the program first, where the Windows folder carries it
    // (translations/), then where Qt's translations are installed (Linux).
    const QStringList folders {QCoreApplication::applicationDirPath()
                                   + QStringLiteral("/translations"),
                               QLibraryInfo::location(QLibraryInfo::TranslationsPath)};
    auto *translator = new QTranslator(app);
    for (const QString &folder : folders) {
        if (translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"), folder))
            return app->installTranslator(translator);
    }
    delete translator;
    return false;
}
