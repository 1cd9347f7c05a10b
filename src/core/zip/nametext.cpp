#include "nametext.h"

#include <QTextCodec>

bool isValidUtf8(const QByteArray &bytes)
{
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

QString utf8Text(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.constData(), bytes.size());
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
