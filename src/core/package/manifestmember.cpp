#include "manifestmember.h"

#include "packagemanifest.h"
#include "portablename.h"
#include "upgradeitemtypes.h"
#include "visibletext.h"

#include <QJsonObject>

namespace {

using F = PackageFailure;

// A manifest name must be a plain file at the package root.
bool isBareFileName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
        && !name.contains(QChar(0));
}

// Control characters, and the invisible format characters (U+FEFF, U+200B,
// a soft hyphen) that make a key look like another; JSON readers, Qt's too,
// even drop a leading U+FEFF, so that "\ufeffhmi" came back as "hmi".
bool hasControlCharacter(const QString &text)
{
    return firstControlOrFormat(text) >= 0;
}

// Text of the manifest that is no text: a surrogate without its other half
// ("x\ud800", which jq and Perl refuse, and with it the whole manifest), or
// bytes that were not valid in the manifest's encoding (exactText false:
// U+FFFD stands for them).
bool isInvalidText(const QString &text, bool exactText)
{
    return firstLoneSurrogate(text) >= 0
        || (!exactText && text.contains(QChar::ReplacementCharacter));
}

// A key that looks like a type key but is not one would reach the controller
// as a second item of that type: another case, full-width letters, blanks.
QString imitatedTypeKey(const QString &key)
{
    const QString plain = key.normalized(QString::NormalizationForm_KC).toCaseFolded().trimmed();
    for (const QString &type : upgradeTypeKeys) {
        if (key != type && plain == type)
            return type;
    }
    return QString();
}


} // namespace

QString nfc(const QString &name)
{
    return name.normalized(QString::NormalizationForm_C);
}

PackageFailure judgeMemberText(const QString &key, const QJsonValue &value, bool exactText,
                               const QString &path, QString *name)
{
    if (isInvalidText(key, exactText)) {
        PackageFailure f = packageRefusal(F::KeyImitatesType, path, QString(), key);
        f.nameProblem = NameProblem::InvalidText;
        return f;
    }
    const QString imitated = imitatedTypeKey(key);
    if (hasControlCharacter(key) || !imitated.isEmpty())
        return packageRefusal(F::KeyImitatesType, path, imitated, key);
    *name = value.toObject().value(QStringLiteral("name")).toString();
    if (!value.isObject() || !isBareFileName(*name) || nfc(*name) == manifestFileName
        || isInvalidText(*name, exactText))
        return packageRefusal(F::MemberInvalid, path, QString(), key);
    return PackageFailure();
}

PackageFailure judgeNamedEntry(const ZipEntry &entry, const QString &name, const QString &key,
                               const QString &path)
{
    if (entry.isFolder() || entry.isLink())
        return packageRefusal(F::NamedEntryNotFile, path, name, key);
    // The new package carries the entry under this name, composed (NFC),
    // which some characters make longer. (A leading U+FEFF, a format
    // character, would be dropped by UTF-8 readers as a byte-order mark.)
    NameProblem unportable = portableNameProblem(name);
    if (!unportable.found())
        unportable = portableNameProblem(nfc(name));
    // A stored name that is not valid GB18030 would come out as another.
    if (!unportable.found() && !entry.nameValid)
        unportable.kind = NameProblem::InvalidText;
    if (!unportable.found())
        return PackageFailure();
    PackageFailure f = packageRefusal(F::UnportableEntryName, path, name, key);
    f.nameProblem = unportable.kind;
    f.specifics = unportable.character;
    return f;
}
