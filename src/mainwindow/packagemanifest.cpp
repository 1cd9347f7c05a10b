#include "packagemanifest.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTextCodec>
#include <QTextStream>

const QString manifestFileName = QStringLiteral("upgrade_package_config.json");

QString manifestText(const QMap<QString, QString> &items)
{
    QJsonObject top;
    for (auto it = items.cbegin(); it != items.cend(); ++it)
        top.insert(it.key(),
                   QJsonObject {{QStringLiteral("name"), QFileInfo(it.value()).fileName()}});
    return QString::fromUtf8(QJsonDocument(top).toJson(QJsonDocument::Compact));
}

bool writeManifestFile(const QString &path, const QMap<QString, QString> &items)
{
    QFile file(path);
    // NewOnly: never write over a file that someone else keeps at this path.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Truncate
                   | QIODevice::Text))
        return false;
    {
        QTextStream out(&file);
        out << manifestText(items);
        out.flush();
        if (out.status() == QTextStream::Ok && file.flush()) {
            file.close();
            if (file.error() == QFileDevice::NoError)
                return true;
        }
    }
    file.close();
    file.remove();
    return false;
}

namespace {

QString decodeManifest(const QByteArray &bytes)
{
    QTextCodec::ConverterState state;
    const QString text
        = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars == 0)
        return text;
    return QTextCodec::codecForLocale()->toUnicode(bytes);
}

} // namespace

bool readManifestFile(const QString &path, QJsonObject *manifest)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(decodeManifest(file.readAll()).toUtf8());
    if (document.isNull())
        return false;
    *manifest = document.object();
    return true;
}

MergeResult mergeNestedManifest(const QJsonObject &manifest, const QString &folder,
                                QMap<QString, QString> *items)
{
    for (auto it = manifest.constBegin(); it != manifest.constEnd(); ++it) {
        if (items->contains(it.key()))
            return MergeResult::DuplicateType;
        const QString name = it.value().toObject().value(QStringLiteral("name")).toString();
        if (name == QLatin1String("..") || name.contains(QLatin1Char('/'))
            || name.contains(QLatin1Char('\\')))
            return MergeResult::UnsafeName;
        items->insert(it.key(), folder + QLatin1Char('/') + name);
    }
    return MergeResult::Merged;
}
