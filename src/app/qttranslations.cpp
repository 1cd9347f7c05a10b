#include "qttranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

bool installQtTranslations(QCoreApplication *app, const QLocale &locale)
{
    if (locale.language() != QLocale::Chinese)
        return false;
    auto *translator = new QTranslator(app);
    if (!translator->load(locale, QStringLiteral("qt"), QStringLiteral("_"),
                          QLibraryInfo::location(QLibraryInfo::TranslationsPath))
        || !app->installTranslator(translator)) {
        delete translator;
        return false;
    }
    return true;
}
