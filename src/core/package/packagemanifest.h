#ifndef PACKAGEMANIFEST_H
#define PACKAGEMANIFEST_H

#include "nametext.h"
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

// Reads a manifest, which must be one JSON object. It is decoded as above,
// but in a package whose names are GB18030 (legacyNames) it is read as
// GB18030 too, unless it is valid UTF-8 and only then are its names found
// in the package (namesResolve says whether they are). *exactText says, as
// above, whether it is valid text in the encoding it was read in.
bool parseManifest(const QByteArray &bytes, bool legacyNames,
                   const std::function<bool(const QJsonObject &)> &namesResolve,
                   QJsonObject *manifest, bool *exactText);

#endif // PACKAGEMANIFEST_H
