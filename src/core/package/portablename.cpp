#include "portablename.h"

#include "visibletext.h"

#include <QStringList>

namespace {

bool isBlank(QChar c)
{
    return c.isSpace();
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices on Windows, in any case
// and with any extension; digits also include the superscripts ¹ ² ³.
bool isDeviceName(const QString &name)
{
    QString base = name.section(QLatin1Char('.'), 0, 0);
    while (!base.isEmpty() && isBlank(base.back()))
        base.chop(1);
    base = base.toUpper();
    static const QStringList plain {QStringLiteral("CON"), QStringLiteral("PRN"),
                                    QStringLiteral("AUX"), QStringLiteral("NUL")};
    if (plain.contains(base))
        return true;
    if (base.size() != 4
        || !(base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT"))))
        return false;
    const QChar digit = base.at(3);
    return (digit >= QLatin1Char('1') && digit <= QLatin1Char('9')) || digit == QChar(0x00B9)
        || digit == QChar(0x00B2) || digit == QChar(0x00B3);
}

NameProblem problem(NameProblem::Kind kind, const QString &character = QString())
{
    return {kind, character};
}

// The character at a place, with its other half when it is a surrogate pair.
QString characterAt(const QString &text, int at)
{
    const bool pair
        = text.at(at).isHighSurrogate() && at + 1 < text.size() && text.at(at + 1).isLowSurrogate();
    return text.mid(at, pair ? 2 : 1);
}

} // namespace

NameProblem portableNameProblem(const QString &name)
{
    if (name.isEmpty())
        return problem(NameProblem::Empty);
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return problem(NameProblem::DotName);
    static const QString forbidden = QStringLiteral("<>:\"|?*");
    // Invisible characters would let two names look alike (hmi.zip and
    // hmi\u200b.zip), and a surrogate without its other half is no text to
    // any UTF-8 reader.
    const int hidden = firstControlOrFormat(name);
    const int lone = firstLoneSurrogate(name);
    for (int at = 0; at < name.size(); ++at) {
        const QChar c = name.at(at);
        if (c == QLatin1Char('/') || c == QLatin1Char('\\'))
            return problem(NameProblem::Separator, c);
        if (at == hidden)
            return problem(NameProblem::ControlCharacter, characterAt(name, at));
        if (at == lone)
            return problem(NameProblem::InvalidText, c);
        if (forbidden.contains(c))
            return problem(NameProblem::ForbiddenCharacter, c);
    }
    if (isDeviceName(name))
        return problem(NameProblem::DeviceName);
    if (isBlank(name.back()))
        return problem(NameProblem::TrailingBlank);
    if (name.endsWith(QLatin1Char('.')))
        return problem(NameProblem::TrailingDot);
    if (name.toUtf8().size() > fileNameByteLimit)
        return problem(NameProblem::TooLong);
    return NameProblem();
}

NameProblem typedNameProblem(const QString &name)
{
    const NameProblem found = portableNameProblem(name);
    if (found.found() && found.kind != NameProblem::TrailingBlank)
        return found;
    if (!name.isEmpty() && isBlank(name.front()))
        return problem(NameProblem::LeadingBlank);
    return found;
}

QString windowsFoldedName(const QString &name)
{
    QString folded = name.normalized(QString::NormalizationForm_C).toCaseFolded();
    // Read through a const reference: a name that needs no change stays
    // shared with the one given, not copied.
    const QString &read = folded;
    while (!read.isEmpty() && (isBlank(read.back()) || read.back() == QLatin1Char('.')))
        folded.chop(1);
    return folded;
}
