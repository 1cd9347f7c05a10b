#include "packagemanifest.h"

#include <QJsonDocument>
#include <QTextCodec>

const QString manifestFileName = QStringLiteral("upgrade_package_config.json");

QByteArray manifestBytes(const PackageItems &items)
{
    QJsonObject top;
    for (auto it = items.cbegin(); it != items.cend(); ++it)
        top.insert(it.key(), QJsonObject {{QStringLiteral("name"), it.value().name}});
    return QJsonDocument(top).toJson(QJsonDocument::Compact);
}

QString decodeForeignText(const QByteArray &bytes)
{
    QTextCodec::ConverterState state;
    const QString text
        = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars == 0 && state.remainingChars == 0)
        return text;
    return QTextCodec::codecForName("GB18030")->toUnicode(bytes);
}

bool parseManifest(const QByteArray &bytes, QJsonObject *manifest)
{
    const QJsonDocument document = QJsonDocument::fromJson(decodeForeignText(bytes).toUtf8());
    if (!document.isObject())
        return false;
    *manifest = document.object();
    return true;
}
