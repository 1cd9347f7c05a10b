#ifndef INVARIANT_H
#define INVARIANT_H

// What the fuzzers and the regression test hold every package to:
//
//   `inspect` says valid  <=>  a run takes the package  <=>  the new package's
//   entries are byte-equal to the old ones and it inspects valid.
//
// For the bytes P of a package:
// - the verdict V is judgePackage(P, EveryItem);
// - a run takes P when judgePackage(P, ManifestOnly) finds no problem, the
//   merge of its items into none succeeds and writePackage() of them succeeds;
// - V.taken() must equal whether the run took P, and the run's folder holds
//   the archive after a run that took it and nothing after one that did not;
// - the manifest-only verdict is the start of the full one (same items, its
//   problems the first of V's);
// - the new package inspects valid with no note, holds the same type keys and
//   names and then only the manifest, which equals manifestBytes() of the
//   items; each of its entries is deflated, has the old entry's size, CRC-32,
//   date, time and permission bits and the same uncompressed bytes; an entry
//   that was deflated has the very same compressed bytes.
#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

class PackageInvariant
{
public:
    // folder: an existing, empty folder where the run writes its archive.
    explicit PackageInvariant(const QString &folder);

    // Empty when the invariant holds for these bytes, else what broke it.
    QString breach(const QByteArray &package) const;

private:
    QString folder;
};

// For a fuzzer: checks the bytes with a folder under /dev/shm that the process
// makes on first use and removes at exit, and on a breach prints it and aborts.
void checkPackageInvariant(const uint8_t *data, size_t size);
void checkPackageInvariant(const QByteArray &package);

#endif // INVARIANT_H
