#include "visibletext.h"

namespace {

// One character of a text: a code point, or a surrogate without its other
// half (lone), and the UTF-16 units it takes.
struct Character
{
    uint code = 0;
    int units = 1;
    bool lone = false;
};

Character characterAt(const QString &text, int at)
{
    const QChar c = text.at(at);
    if (c.isHighSurrogate() && at + 1 < text.size() && text.at(at + 1).isLowSurrogate())
        return {QChar::surrogateToUcs4(c, text.at(at + 1)), 2, false};
    return {c.unicode(), 1, c.isSurrogate()};
}

// Printable ASCII, most of any name, is decided without a table.
bool isPrintableAscii(QChar c)
{
    return c.unicode() >= 0x20 && c.unicode() < 0x7f;
}

bool isControlOrFormat(uint code)
{
    const QChar::Category category = QChar::category(code);
    return category == QChar::Other_Control || category == QChar::Other_Format;
}

bool isHidden(const Character &c)
{
    return c.lone || isControlOrFormat(c.code);
}

} // namespace

int firstControlOrFormat(const QString &text)
{
    for (int at = 0; at < text.size();) {
        if (isPrintableAscii(text.at(at))) {
            ++at;
            continue;
        }
        const Character c = characterAt(text, at);
        if (!c.lone && isControlOrFormat(c.code))
            return at;
        at += c.units;
    }
    return -1;
}

int firstLoneSurrogate(const QString &text)
{
    for (int at = 0; at < text.size();) {
        if (!text.at(at).isSurrogate()) {
            ++at;
            continue;
        }
        const Character c = characterAt(text, at);
        if (c.lone)
            return at;
        at += c.units;
    }
    return -1;
}

QString escapedText(const QString &text)
{
    const int control = firstControlOrFormat(text);
    const int lone = firstLoneSurrogate(text);
    if (control < 0 && lone < 0)
        return text;
    int at = control < 0 ? lone : lone < 0 ? control : qMin(control, lone);
    QString out = text.left(at);
    while (at < text.size()) {
        if (isPrintableAscii(text.at(at))) {
            out += text.at(at++);
            continue;
        }
        const Character c = characterAt(text, at);
        if (!isHidden(c))
            out += text.mid(at, c.units);
        else if (c.code < 0x100)
            out += QStringLiteral("\\x%1").arg(c.code, 2, 16, QLatin1Char('0'));
        else if (c.code < 0x10000)
            out += QStringLiteral("\\u%1").arg(c.code, 4, 16, QLatin1Char('0'));
        else
            out += QStringLiteral("\\U%1").arg(c.code, 8, 16, QLatin1Char('0'));
        at += c.units;
    }
    return out;
}
