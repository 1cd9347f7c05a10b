#ifndef NAMETEXT_H
#define NAMETEXT_H

#include <QByteArray>
#include <QString>

// The encodings ZIP writers use for names and text files: UTF-8, and
// GB18030 for the Chinese Windows tools that write no UTF-8.

bool isValidUtf8(const QByteArray &bytes);

// All of the bytes as UTF-8: QString::fromUtf8(QByteArray) stops at a NUL,
// which would make "hmi.zip\0x" read as "hmi.zip".
QString utf8Text(const QByteArray &bytes);

// GB18030 text: valid when it reads back to the very same bytes. Qt puts
// U+FFFD in place of bytes it cannot read, and drops a cut-off character at
// the end, without saying so.
QString decodeGb18030(const QByteArray &bytes);
bool isValidGb18030(const QByteArray &bytes);

// Text from a file another tool may have written: UTF-8 (a byte-order mark is
// dropped) when the bytes are valid UTF-8, else GB18030. *exact, when given,
// says whether the bytes are valid text in the encoding they were read in;
// where they are not, U+FFFD stands for them.
QString decodeForeignText(const QByteArray &bytes, bool *exact = nullptr);

#endif // NAMETEXT_H
