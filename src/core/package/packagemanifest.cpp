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

namespace {

bool parseObject(const QString &text, QJsonObject *object)
{
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
    if (!document.isObject())
        return false;
    *object = document.object();
    return true;
}

bool hasUtf8Mark(const QByteArray &bytes)
{
    return bytes.startsWith("\xEF\xBB\xBF");
}

} // namespace

bool parseManifest(const QByteArray &bytes, bool legacyNames,
                   const std::function<bool(const QJsonObject &)> &namesResolve,
                   QJsonObject *manifest, bool *exactText)
{
    if (!legacyNames || hasUtf8Mark(bytes))
        return parseObject(decodeForeignText(bytes, exactText), manifest);
    const bool legacyParsed = parseObject(decodeGb18030(bytes), manifest);
    *exactText = isValidGb18030(bytes);
    if (legacyParsed && namesResolve(*manifest))
        return true;
    QJsonObject utf8;
    if (isValidUtf8(bytes) && parseObject(QString::fromUtf8(bytes.constData(), bytes.size()), &utf8)
        && (namesResolve(utf8) || !legacyParsed)) {
        *manifest = utf8;
        *exactText = true;
        return true;
    }
    return legacyParsed;
}
