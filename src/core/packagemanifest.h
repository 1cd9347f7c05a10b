#ifndef PACKAGEMANIFEST_H
#define PACKAGEMANIFEST_H

#include "packageitem.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The manifest's file name, at the root of every package.
extern const QString manifestFileName;

// The manifest for a package's items: compact JSON in UTF-8, one member per
// type key in ascending key order, each {"name": <the item's entry name>}.
QByteArray manifestBytes(const PackageItems &items);

// Text from a file another tool may have written: UTF-8 (a byte-order mark is
// dropped) when the bytes are valid UTF-8, else GB18030, which is what
// Chinese Windows tools write.
QString decodeForeignText(const QByteArray &bytes);

// Reads a manifest: decoded as above, and it must be one JSON object.
bool parseManifest(const QByteArray &bytes, QJsonObject *manifest);

#endif // PACKAGEMANIFEST_H
