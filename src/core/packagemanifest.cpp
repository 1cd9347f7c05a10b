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

bool isValidUtf8(const QByteArray &bytes)
{
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

QString decodeGb18030(const QByteArray &bytes)
{
    return QTextCodec::codecForName("GB18030")->toUnicode(bytes);
}

bool isValidGb18030(const QByteArray &bytes)
{
    return QTextCodec::codecForName("GB18030")->fromUnicode(decodeGb18030(bytes)) == bytes;
}

QString decodeForeignText(const QByteArray &bytes, bool *exact)
{
    const bool utf8 = isValidUtf8(bytes);
    if (exact)
        *exact = utf8 || isValidGb18030(bytes);
    if (utf8)
        return QTextCodec::codecForName("UTF-8")->toUnicode(bytes); // drops a byte-order mark
    return decodeGb18030(bytes);
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
