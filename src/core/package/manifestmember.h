#ifndef MANIFESTMEMBER_H
#define MANIFESTMEMBER_H

#include "packagefailure.h"
#include "zipcontainer.h"

#include <QJsonValue>
#include <QString>

// The rules for one member of a combined package's manifest, "key":
// {"name": "file"}, that the verdict on a package applies to each.

// The member by itself: its key and its name valid, visible text (no control
// or format character, no surrogate without its other half, nothing that was
// no text in the manifest's encoding: exactText false), the key no imitation
// of a type key (another case, full-width letters, blanks), the value an
// object whose "name" is a bare file name other than the manifest's own.
// The refusal, or none and the name in *name.
PackageFailure judgeMemberText(const QString &key, const QJsonValue &value, bool exactText,
                               const QString &path, QString *name);

// The entry a member names: a plain file (no folder, no link) whose name, as
// the new package carries it (composed, NFC), works on Windows and USB
// sticks, and whose stored name reads back to its bytes.
PackageFailure judgeNamedEntry(const ZipEntry &entry, const QString &name, const QString &key,
                               const QString &path);

// A name composed (NFC), as packages carry names.
QString nfc(const QString &name);

#endif // MANIFESTMEMBER_H
