#ifndef QTTRANSLATIONS_H
#define QTTRANSLATIONS_H

class QCoreApplication;
class QLocale;

// Loads Qt's own translations (the standard dialogs' and buttons' texts) for
// a Chinese locale. The tool's own texts are Chinese already and need none.
// Returns true when a translation was installed.
bool installQtTranslations(QCoreApplication *app, const QLocale &locale);

#endif // QTTRANSLATIONS_H
