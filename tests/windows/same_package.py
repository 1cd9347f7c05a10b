#!/usr/bin/env python3
"""Whether two packages are the same bytes, but for the time the run wrote its
manifest (each run stamps upgrade_package_config.json with its own clock):
that entry's DOS time and date and its extended timestamp, in the local and
the central header, may differ by at most MAX seconds.
Usage: same_package.py A.zip B.zip [MAX]   exit 0 when the same, else 1."""
import struct
import sys
import zipfile

MANIFEST = "upgrade_package_config.json"


def time_fields(data, info):
    """Offsets and lengths of an entry's time fields in its local header."""
    offsets = []
    local = info.header_offset
    name_length, extra_length = struct.unpack_from("<HH", data, local + 26)
    offsets.append((local + 10, 4))  # DOS time and date
    offsets += extended_timestamps(data, local + 30 + name_length, extra_length)
    return offsets


def extended_timestamps(data, start, length):
    found, at = [], start
    while at + 4 <= start + length:
        tag, size = struct.unpack_from("<HH", data, at)
        if tag == 0x5455 and size >= 5:
            found.append((at + 5, 4))
        at += 4 + size
    return found


def central_records(data):
    end = data.rfind(b"PK\x05\x06")
    (count,) = struct.unpack_from("<H", data, end + 10)
    (offset,) = struct.unpack_from("<I", data, end + 16)
    records, at = {}, offset
    for _ in range(count):
        name_length, extra_length, comment_length = struct.unpack_from("<HHH", data, at + 28)
        name = data[at + 46:at + 46 + name_length].decode("utf-8")
        records[name] = [(at + 12, 4)] + extended_timestamps(
            data, at + 46 + name_length, extra_length)
        at += 46 + name_length + extra_length + comment_length
    return records


def manifest_time(data, info):
    local = info.header_offset
    name_length, extra_length = struct.unpack_from("<HH", data, local + 26)
    stamps = extended_timestamps(data, local + 30 + name_length, extra_length)
    return struct.unpack_from("<I", data, stamps[0][0])[0] if stamps else None


def main():
    a_path, b_path = sys.argv[1], sys.argv[2]
    most = int(sys.argv[3]) if len(sys.argv) > 3 else 120
    a, b = open(a_path, "rb").read(), open(b_path, "rb").read()
    if len(a) != len(b):
        print(f"sizes differ: {len(a)} and {len(b)}")
        return 1
    a_info = zipfile.ZipFile(a_path).getinfo(MANIFEST)
    b_info = zipfile.ZipFile(b_path).getinfo(MANIFEST)
    a_time, b_time = manifest_time(a, a_info), manifest_time(b, b_info)
    if a_time is not None and b_time is not None and abs(a_time - b_time) > most:
        print(f"manifest times {a_time} and {b_time} are more than {most} s apart")
        return 1
    fields = time_fields(a, a_info) + central_records(a)[MANIFEST]
    patched = bytearray(a)
    for at, size in fields:
        patched[at:at + size] = b[at:at + size]
    if bytes(patched) != b:
        first = next(i for i in range(len(b)) if patched[i] != b[i])
        print(f"bytes differ at offset {first}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
