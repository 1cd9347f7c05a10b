#!/usr/bin/env python3
"""Writes the hand-made hostile packages of tests/fuzz/regressions/.

Each one carries a fault that an attacker or a broken writer puts into a
package; tests/tst_fuzzregressions.cpp holds every file of that folder to the
package invariant and checks that `inspect` refuses these with the problem
listed in verdicts.txt (also written here), or takes them where it says
"taken". Reproducers the fuzzers find are
added to the same folder by hand, without a verdict line.

    python3 tests/fuzz/make_regressions.py

Two faults are too large to keep as files (a name of 65,535 bytes, 65,536
entries); the test builds them when it runs.
"""
import bz2
import lzma
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, 'regressions')
MANIFEST = b'upgrade_package_config.json'
STORE, DEFLATE, DEFLATE64, BZIP2, LZMA = 0, 8, 9, 12, 14
UNIX_FILE = 0o100644 << 16
MAX32 = 0xffffffff


def deflate(data, flush=zlib.Z_FINISH):
    compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush(flush)


class Entry:
    """One entry; every field of its headers can be set on its own."""

    def __init__(self, name, data=b'', method=DEFLATE, **fields):
        self.name = name.encode() if isinstance(name, str) else name
        self.plain = data
        self.method = method
        if method == DEFLATE:
            self.stored = deflate(data)
        elif method == BZIP2:
            self.stored = bz2.compress(data)
        elif method == LZMA:
            # The ZIP form: version, properties length, properties, raw stream.
            filters = [{'id': lzma.FILTER_LZMA1, 'dict_size': 1 << 16}]
            raw = lzma.compress(data, format=lzma.FORMAT_RAW, filters=filters)
            props = lzma._encode_filter_properties(filters[0])
            self.stored = struct.pack('<BBH', 9, 4, len(props)) + props + raw
        else:
            self.stored = data
        self.crc = zlib.crc32(data)
        self.size = len(data)
        self.compressed = None  # default: len(stored)
        self.flags = 0x800 if any(b > 0x7f for b in self.name) else 0
        self.local_name = None
        self.attributes = UNIX_FILE
        self.zip64 = False
        self.central_extra = b''
        self.local_extra = b''
        self.offset = None  # default: where it is written
        for key, value in fields.items():
            setattr(self, key, value)

    def compressed_size(self):
        return len(self.stored) if self.compressed is None else self.compressed

    def local_header(self):
        name = self.name if self.local_name is None else self.local_name
        extra = b''
        sizes = (self.compressed_size(), self.size)
        if self.zip64:
            extra = struct.pack('<HHQQ', 1, 16, self.size, self.compressed_size())
            sizes = (MAX32, MAX32)
        extra += self.local_extra
        return struct.pack('<IHHHHHIIIHH', 0x04034b50, 45 if self.zip64 else 20, self.flags,
                           self.method, 0, 0x5684, self.crc, sizes[0], sizes[1], len(name),
                           len(extra)) + name + extra

    def central_header(self, offset):
        extra = b''
        sizes = (self.compressed_size(), self.size)
        if self.zip64:
            extra = struct.pack('<HHQQQ', 1, 24, self.size, self.compressed_size(), offset)
            sizes, offset = (MAX32, MAX32), MAX32
        extra += self.central_extra
        return struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 0x031e, 45 if self.zip64 else 20,
                           self.flags, self.method, 0, 0x5684, self.crc, sizes[0], sizes[1],
                           len(self.name), len(extra), 0, 0, 0, self.attributes,
                           offset) + self.name + extra


def bzip2_zeros(count):
    compressor = bz2.BZ2Compressor(9)
    block = bytes(1 << 20)
    out = b''.join(compressor.compress(block) for _ in range(count // len(block)))
    return out + compressor.flush()


def manifest(members, method=DEFLATE, **fields):
    """A manifest entry from (key, name) pairs, written as JSON text as given."""
    text = '{' + ','.join('"%s":{"name":"%s"}' % member for member in members) + '}'
    return Entry(MANIFEST, text.encode(), method, **fields)


def archive(entries, comment=b'', shared_offset=None, padding=b''):
    out = b''
    offsets = []
    for entry in entries:
        offsets.append(out.__len__() if shared_offset is None else shared_offset)
        if shared_offset is None or not out:
            out += entry.local_header() + entry.stored
    directory = b''.join(e.central_header(o if e.offset is None else e.offset)
                         for e, o in zip(entries, offsets))
    end = struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, len(entries), len(entries), len(directory),
                      len(out), len(comment))
    return out + directory + end + comment + padding


def extra_field(field_id, data):
    return struct.pack('<HH', field_id, len(data)) + data


def unicode_path(name, stored_name):
    """An Info-ZIP Unicode Path field (0x7075) meant for stored_name."""
    return extra_field(0x7075, struct.pack('<BI', 1, zlib.crc32(stored_name)) + name)


def package(item, key='hmi'):
    """A package of one item and a manifest naming it under key."""
    return archive([item, manifest([(key, item.name.decode('utf-8', 'replace'))])])


def hmi(**fields):
    return Entry('hmi_v2.zip', b'hmi line\n' * 200, **fields)


# Reproducers the fuzzers found, kept as they are, and the problem each is
# refused for now.
FOUND = [
    'key-leading-bom.zip key-imitates-type\n',
]


def cases():
    bomb = deflate(bytes(1 << 20))  # about 1 KB that inflates to 1 MiB
    bzip2_bomb = bzip2_zeros(1 << 30)  # 785 bytes that inflate to 1 GiB
    yield 'deflate-bytes-after-end', 'entry-corrupt', package(
        hmi(stored=deflate(b'hmi line\n' * 200) + b'trail'))
    evil = Entry('hmi_v2.zip', b'#!/bin/sh\nrm -rf ~\n', local_name=b'../../../../tmp/evil.sh')
    yield 'local-name-escapes', 'local-header-mismatch', package(evil)
    shared = [Entry('a%02d.bin' % i, b'one stream\n' * 10) for i in range(50)]
    yield 'fifty-entries-one-stream', 'entries-overlap', archive(
        shared + [manifest([('hmi', 'a00.bin')])], shared_offset=0)
    first = package(hmi())
    second = package(Entry('evil.bin', b'other package\n'), key='dravo')
    yield 'appended-archive', 'not-zip', first + second
    # A signature in the comment, and a whole end record that ends the file.
    yield 'comment-holds-end-record', 'comment-holds-end-record', archive(
        [hmi(), manifest([('hmi', 'hmi_v2.zip')])], comment=b'note PK\x05\x06' + bytes(10))
    yield 'comment-holds-whole-end-record', 'comment-holds-end-record', archive(
        [hmi(), manifest([('hmi', 'hmi_v2.zip')])],
        comment=b'note PK\x05\x06' + bytes(18))
    yield 'deflate-no-data', 'entry-corrupt', package(hmi(stored=b''))
    yield 'deflate-no-final-block', 'entry-corrupt', package(
        hmi(stored=deflate(b'hmi line\n' * 200, zlib.Z_SYNC_FLUSH)))
    yield 'deflate-size-past-end', 'entry-past-end', package(hmi(compressed=1 << 20))
    yield 'empty-entry-crc-not-zero', 'entry-corrupt', package(
        Entry('empty.png', b'', STORE, crc=0x12345678))
    # The entry is deflated and empty, so the CRC alone is wrong.
    yield 'empty-deflated-crc-not-zero', 'entry-corrupt', package(
        Entry('empty.png', b'', DEFLATE, crc=0x12345678))
    yield 'deflate-bomb-declared-small', 'entry-corrupt', package(
        Entry('hmi_v2.zip', b'', stored=bomb, size=1000, crc=0))
    yield 'deflate-bomb-declares-huge', 'entry-corrupt', package(
        Entry('hmi_v2.zip', bytes(1 << 20), stored=bomb, size=1 << 40, zip64=True))
    yield 'bzip2-bomb', 'entry-corrupt', package(
        Entry('hmi_v2.zip', b'', BZIP2, stored=bzip2_bomb, size=4096, crc=0))
    yield 'bzip2-declares-huge', 'entry-corrupt', package(
        Entry('hmi_v2.zip', b'x' * 1000, BZIP2, size=1 << 40, zip64=True))
    yield 'name-control-character', 'unportable-entry-name', archive(
        [Entry(b'hmi\x01.zip', b'hmi'), manifest([('hmi', 'hmi\\u0001.zip')])])
    yield 'name-beside-trailing-dot', 'entry-name-repeated', archive(
        [hmi(), Entry('hmi_v2.zip.', b'other'), manifest([('hmi', 'hmi_v2.zip')])])
    # U+0958 is kept apart from its composition: in NFC, the form a new
    # package carries, these 255 bytes become 510.
    qa = '\u0958' * 85
    yield 'name-longer-once-composed', 'unportable-entry-name', package(Entry(qa, b'qa'))
    yield 'name-con', 'unportable-entry-name', package(Entry('CON', b'device'))
    yield 'name-colon', 'unsafe-entry-name', package(Entry('a:b', b'stream'))
    yield 'key-nul', 'key-imitates-type', archive(
        [hmi(), manifest([('hmi\\u0000', 'hmi_v2.zip')])])
    # An invisible character makes a key look like a type key (key-leading-bom.zip,
    # which the structured fuzzer found, has the same with U+FEFF).
    yield 'key-zero-width-space', 'key-imitates-type', archive(
        [hmi(), manifest([('hmi\\u200b', 'hmi_v2.zip')])])
    # UTF-8 readers drop a leading U+FEFF as a byte-order mark, so the new
    # package's entry, named in UTF-8, would be "x.bin".
    yield 'name-leading-bom-gb18030', 'unportable-entry-name', archive(
        [Entry('\ufeffx.bin'.encode('gb18030'), b'x', flags=0),
         manifest([('hmi', '\\ufeffx.bin')])])
    yield 'key-trailing-blank', 'key-imitates-type', archive(
        [hmi(), manifest([('hmi ', 'hmi_v2.zip')])])
    yield 'key-fullwidth', 'key-imitates-type', archive(
        [hmi(), manifest([('\uff48\uff4d\uff49', 'hmi_v2.zip')])])
    yield 'size-near-2-63', 'entry-too-large', package(hmi(size=(1 << 63) - 1, zip64=True))
    yield 'compressed-size-near-2-64', 'entry-too-large', package(
        hmi(compressed=(1 << 64) - 2, zip64=True))
    # A GB18030 manifest under 1 MiB whose key takes half as much again in
    # the UTF-8 of the new package's manifest.
    gb_name = '控制器.bin'.encode('gb18030')
    gb_text = '{"%s":{"name":"控制器.bin"}}' % ('中' * 400000)
    yield 'manifest-larger-in-utf8', 'manifest-too-large', archive(
        [Entry(gb_name, b'ctrl', flags=0), Entry(MANIFEST, gb_text.encode('gb18030'))])
    yield 'manifest-deflate64', 'unsupported-method', archive(
        [hmi(), manifest([('hmi', 'hmi_v2.zip')], method=DEFLATE64)])
    yield 'manifest-lzma', 'unsupported-method', archive(
        [hmi(), manifest([('hmi', 'hmi_v2.zip')], method=LZMA)])
    # Extra fields that run past their block: python, bsdtar, 7z and libzip
    # refuse the package. Up to 3 zero bytes after the last field pad it.
    overrun = struct.pack('<HH', 0x5455, 20) + b'\x01abcd'
    ut = extra_field(0x5455, struct.pack('<BI', 1, 1700000000))
    yield 'central-extra-runs-past', 'extra-field-invalid', package(hmi(central_extra=overrun))
    yield 'local-extra-runs-past', 'extra-field-invalid', package(hmi(local_extra=overrun))
    yield 'extra-tail-not-zero', 'extra-field-invalid', package(hmi(central_extra=ut + b'\x01'))
    yield 'extra-padded-with-zeros', 'taken', package(
        hmi(central_extra=ut + bytes(3), local_extra=ut + bytes(1)))
    # Unicode Path fields that give another name, which unzip, bsdtar and
    # libzip read while python and Java read the stored one.
    yield 'unicode-path-leads-outside', 'unicode-path-mismatch', package(
        hmi(central_extra=unicode_path(b'../../evil.sh', b'hmi_v2.zip')))
    yield 'unicode-path-second-manifest', 'unicode-path-mismatch', archive(
        [hmi(), manifest([('hmi', 'hmi_v2.zip')]),
         Entry('readme.txt', b'{}', central_extra=unicode_path(MANIFEST, b'readme.txt'))])
    yield 'unicode-path-local-only', 'unicode-path-mismatch', package(
        hmi(local_extra=unicode_path(b'ctrl.zip', b'hmi_v2.zip')))
    yield 'unicode-path-stale', 'taken', package(
        hmi(central_extra=unicode_path(b'old.zip', b'old.zip')))
    # Names and keys that are no text, or hide a character.
    yield 'name-utf8-flag-not-utf8', 'unportable-entry-name', archive(
        [hmi(), manifest([('hmi', 'hmi_v2.zip')]), Entry(b'readme\xff.txt', b'x', flags=0x800)])
    yield 'name-gb18030-cut-short', 'unportable-entry-name', archive(
        [Entry(b'hmi\x81', b'hmi', flags=0), manifest([('hmi', 'hmi')])])
    yield 'key-lone-surrogate', 'key-imitates-type', archive(
        [hmi(), Entry('b.zip', b'b'), manifest([('hmi', 'hmi_v2.zip'), ('x\\ud800', 'b.zip')])])
    yield 'key-not-utf8', 'key-imitates-type', archive(
        [hmi(), Entry(b'b.zip', b'b'),
         Entry(MANIFEST, b'{"hmi":{"name":"hmi_v2.zip"},"x\xff":{"name":"b.zip"}}')])
    yield 'name-zero-width-space', 'unportable-entry-name', package(Entry('hmi\u200b.zip', b'x'))
    yield 'name-beside-soft-hyphen', 'unportable-entry-name', archive(
        [hmi(), Entry('hmi_v2\u00ad.zip', b'other'),
         manifest([('hmi', 'hmi_v2.zip'), ('logo', 'hmi_v2\\u00ad.zip')])])
    yield 'left-out-terminal-escapes', 'taken', archive(
        [hmi(), manifest([('hmi', 'hmi_v2.zip')]), Entry('\x1b]0;pwned\x07\x1b[2J.txt', b'x'),
         Entry(b'nul\x00.txt', b'x')])
    # No file system holds a name over 1 KiB: refused before it is kept.
    yield 'name-over-1-kib', 'unportable-entry-name', archive(
        [hmi(), manifest([('hmi', 'hmi_v2.zip')]), Entry('n' * 1025, b'x')])
    # bsdtar pads what it writes to a pipe with zeros to its block size.
    yield 'zero-padding-after-end', 'taken', archive(
        [hmi(), manifest([('hmi', 'hmi_v2.zip')])], padding=bytes(9000))
    yield 'zero-padding-then-a-byte', 'data-after-end', archive(
        [hmi(), manifest([('hmi', 'hmi_v2.zip')])], padding=bytes(100) + b'x')


def main():
    os.makedirs(OUT, exist_ok=True)
    verdicts = []
    for name, code, data in cases():
        with open(os.path.join(OUT, name + '.zip'), 'wb') as f:
            f.write(data)
        verdicts.append('%s.zip %s\n' % (name, code))
    with open(os.path.join(OUT, 'verdicts.txt'), 'w') as f:
        f.write('# file, and the problem inspect must find in it (written by make_regressions.py)\n')
        f.writelines(verdicts)
        f.writelines(FOUND)


if __name__ == '__main__':
    main()
