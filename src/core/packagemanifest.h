#ifndef PACKAGEMANIFEST_H
#define PACKAGEMANIFEST_H

#include "packageitem.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <functional>

// The manifest's file name, at the root of every package.
extern const QString manifestFileName;

// The manifest for a package's items: compact JSON in UTF-8, one member per
// type key in ascending key order, each {"name": <the item's entry name>}.
QByteArray manifestBytes(const PackageItems &items);

bool isValidUtf8(const QByteArray &bytes);

// GB18030 text: valid when it reads back to the very same bytes. Qt puts
// U+FFFD in place of bytes it cannot read, and drops a cut-off character at
// the end, without saying so.
QString decodeGb18030(const QByteArray &bytes);
bool isValidGb18030(const QByteArray &bytes);

// Text from a file another tool may have written: UTF-8 (a byte-order mark is
// dropped) when the bytes are valid UTF-8, else GB18030, which is what
// Chinese Windows tools write. *exact, when given, says whether the bytes
// are valid text in the encoding they were read in; where they are not,
// U+FFFD stands for them.
QString decodeForeignText(const QByteArray &bytes, bool *exact = nullptr);

// Reads a manifest, which must be one JSON object. It is decoded as above,
// but in a package whose names are GB18030 (legacyNames) it is read as
// GB18030 too, unless it is valid UTF-8 and only then are its names found
// in the package (namesResolve says whether they are). *exactText says, as
// above, whether it is valid text in the encoding it was read in.
bool parseManifest(const QByteArray &bytes, bool legacyNames,
                   const std::function<bool(const QJsonObject &)> &namesResolve,
                   QJsonObject *manifest, bool *exactText);

#endif // PACKAGEMANIFEST_H
