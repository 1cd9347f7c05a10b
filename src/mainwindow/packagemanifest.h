#ifndef PACKAGEMANIFEST_H
#define PACKAGEMANIFEST_H

#include <QJsonObject>
#include <QMap>
#include <QString>

// The manifest's file name, at the root of every package.
extern const QString manifestFileName;

// The manifest document for a map from type key to item path: compact JSON,
// one member per key in ascending key order, each {"name": <file name>}.
QString manifestText(const QMap<QString, QString> &items);

// Writes manifestText(items) to path in the system locale's encoding. The file
// must not exist yet. Returns false when it cannot be created or the text
// cannot be written in full; a file it created is then removed again.
bool writeManifestFile(const QString &path, const QMap<QString, QString> &items);

// Reads a manifest document. Bytes that are not valid UTF-8 are decoded with
// the locale's codec, the encoding a manifest is written in. Returns false
// when the file cannot be read or holds no JSON document; a document whose
// top level is an array yields an empty object.
bool readManifestFile(const QString &path, QJsonObject *manifest);

enum class MergeResult { Merged, DuplicateType, UnsafeName };

// Adds one entry per member of a nested manifest to items, in ascending key
// order: the member's key to folder + "/" + its "name" (empty when missing or
// not a string). Stops at the first key that items already holds, and at the
// first name that is not a bare file name ("..", or one holding "/" or "\"),
// which would point outside the folder.
MergeResult mergeNestedManifest(const QJsonObject &manifest, const QString &folder,
                                QMap<QString, QString> *items);

#endif // PACKAGEMANIFEST_H
