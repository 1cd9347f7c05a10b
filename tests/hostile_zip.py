#!/usr/bin/env python3
"""Writes hand-made ZIP archives that no honest writer makes, one per case,
for the screening tests: python3 hostile_zip.py CASE PATH.

Every case starts from the same small, valid package (an HMI item and its
manifest) and changes one thing, byte by byte, so that a test can tell which
rule refuses it."""

import bz2
import struct
import sys
import zlib

MANIFEST = 'upgrade_package_config.json'
HMI = b'hmi image line\n' * 60


def deflate(data, final=True):
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush(zlib.Z_FINISH if final else zlib.Z_SYNC_FLUSH)


class Entry:
    def __init__(self, name, data=b'', method=8, raw=None, **fields):
        self.name = name.encode('utf-8') if isinstance(name, str) else name
        self.data = data
        self.method = method
        if raw is None:
            raw = {8: deflate, 12: bz2.compress}.get(method, lambda d: d)(data)
        self.raw = raw
        self.crc = zlib.crc32(data)
        self.size = len(data)
        self.csize = len(raw)
        self.flags = 0x800 if any(b > 127 for b in self.name) else 0
        self.local = {}  # fields the local header states otherwise
        self.extra = b''
        self.local_extra = b''
        self.descriptor = None
        self.offset = None  # where the central entry says the local header is
        self.__dict__.update(fields)

    def field(self, key, local):
        if local and key in self.local:
            return self.local[key]
        return getattr(self, key)

    def local_header(self):
        f = lambda k: self.field(k, True)
        name = f('name')
        return struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, f('flags'), f('method'), 0x6000, 0x5821,
                           f('crc') & 0xffffffff, min(f('csize'), 0xffffffff),
                           min(f('size'), 0xffffffff), len(name), len(self.local_extra)) \
            + name + self.local_extra

    def central_header(self, offset):
        return struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 0x031e, 20, self.flags, self.method,
                           0x6000, 0x5821, self.crc & 0xffffffff, min(self.csize, 0xffffffff),
                           min(self.size, 0xffffffff), len(self.name), len(self.extra), 0, 0, 0,
                           0o100644 << 16, min(offset, 0xffffffff)) + self.name + self.extra


def manifest(json_text, encoding='utf-8', **fields):
    return Entry(MANIFEST, json_text.encode(encoding), **fields)


def valid_entries():
    return [Entry('hmi.zip', HMI), manifest('{"hmi":{"name":"hmi.zip"}}')]


def end_record(count, cd_size, cd_offset, comment=b''):
    return struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, count, count, cd_size, cd_offset,
                       len(comment)) + comment


def build(entries, prefix=b'', gap=b'', comment=b'', suffix=b'', count=None, zip64=None):
    out = bytearray(prefix)
    offsets = []
    for i, e in enumerate(entries):
        if i > 0:
            out += gap
        offsets.append(len(out) if e.offset is None else e.offset)
        if e.offset is None:
            out += e.local_header() + e.raw + (e.descriptor or b'')
    cd_offset = len(out)
    for e, offset in zip(entries, offsets):
        out += e.central_header(offset)
    cd_size = len(out) - cd_offset
    n = len(entries) if count is None else count
    if zip64 is not None:
        record = len(out)
        out += struct.pack('<IQHHIIQQQQ', 0x06064b50, 44, 0x032d, 45, 0, 0, zip64, zip64,
                           cd_size, cd_offset)
        out += struct.pack('<IIQI', 0x07064b50, 0, record, 1)
    out += end_record(min(n, 0xffff), cd_size, cd_offset, comment) + suffix
    return bytes(out)


def with_hmi(**fields):
    entries = valid_entries()
    entries[0].__dict__.update(fields)
    return entries


def named(name, raw_name=None, manifest_json=None):
    """A package whose HMI item bears name (raw_name: its stored bytes)."""
    item = Entry(raw_name if raw_name is not None else name, HMI)
    if raw_name is not None:
        item.flags = 0  # as a Chinese Windows tool writes it
    text = manifest_json or '{"hmi":{"name":%s}}' % json_string(name)
    return [item, manifest(text)]


def json_string(text):
    import json
    return json.dumps(text)


def case_valid():
    return build(valid_entries())


def case_bytes_after_deflate_end():
    # A hidden local header after the end of the deflate stream, inside the
    # declared compressed size: a streaming reader finds evil.sh there.
    evil = Entry('evil.sh', b'rm -rf /\n', method=0)
    return build(with_hmi(raw=deflate(HMI) + evil.local_header() + evil.raw,
                          csize=len(deflate(HMI)) + len(evil.local_header()) + len(evil.raw)))


def case_local_header_leads_outside():
    entries = valid_entries()
    entries[0].local = {'name': b'../../../../tmp/evil.sh'}
    return build(entries)


def case_entries_share_one_stream():
    stream = Entry('f0.bin', b'\0' * (1 << 16))
    others = [Entry('f%d.bin' % i, b'\0' * (1 << 16), offset=0) for i in range(1, 50)]
    for e in others:
        e.local = {'name': b'f0.bin'}
    names = ','.join('"k%d":{"name":"f%d.bin"}' % (i, i) for i in range(50))
    return build([stream] + others + [manifest('{%s}' % names)])


def case_another_archive_appended():
    return build(valid_entries()) + build([Entry('evil.sh', b'evil'), manifest('{}')])


def case_archive_behind_another():
    # zip -A style: the second archive's offsets count from the file's start.
    first = build([Entry('readme.txt', b'just a readme')])
    entries = valid_entries()
    return build(entries, prefix=first)


def case_comment_holds_end_record():
    return build(valid_entries(), comment=b'see ' + end_record(0, 0, 0))


def case_data_before_first_entry():
    return build(valid_entries(), prefix=b'MZ self-extractor stub ' * 4)


def case_data_between_entries():
    return build(valid_entries(), gap=b'\0' * 16)


def case_data_after_end_record():
    return build(valid_entries(), suffix=b'trailing bytes')


def case_zip64_record_disagrees():
    return build(valid_entries(), zip64=3)


def case_too_many_entries():
    return build(valid_entries(), count=70000, zip64=70000)


def case_end_record_counts_5m():
    return build(valid_entries(), count=5000000, zip64=5000000)


def case_local_crc_differs():
    entries = valid_entries()
    entries[0].local = {'crc': entries[0].crc ^ 1}
    return build(entries)


def case_local_method_differs():
    entries = valid_entries()
    entries[0].local = {'method': 0}
    return build(entries)


def case_descriptor_disagrees():
    entries = valid_entries()
    e = entries[0]
    e.flags |= 0x08
    e.local = {'crc': 0, 'csize': 0, 'size': 0}
    e.descriptor = struct.pack('<IIII', 0x08074b50, e.crc ^ 1, e.csize, e.size)
    return build(entries)


def case_descriptor_agrees():
    entries = valid_entries()
    e = entries[0]
    e.flags |= 0x08
    e.local = {'crc': 0, 'csize': 0, 'size': 0}
    e.descriptor = struct.pack('<IIII', 0x08074b50, e.crc, e.csize, e.size)
    return build(entries)


def case_deflated_entry_without_data():
    return build(with_hmi(raw=b'', csize=0))


def case_deflate_without_final_block():
    raw = deflate(HMI, final=False)
    return build(with_hmi(raw=raw, csize=len(raw)))


def case_compressed_size_past_end_of_file():
    entries = valid_entries()
    entries.reverse()  # the HMI entry last, its data running past the end
    entries[1].csize += 100000
    return build(entries)


def case_empty_entry_with_crc():
    entries = [Entry('hmi.zip', b'', method=0, crc=0x12345678), manifest('{"hmi":{"name":"hmi.zip"}}')]
    return build(entries)


def case_deflate_bomb():
    return build(with_hmi(raw=deflate(b'\0' * (64 << 20)), size=1000,
                          csize=len(deflate(b'\0' * (64 << 20)))))


def case_bzip2_bomb():
    raw = bz2.compress(b'\0' * (64 << 20))
    return build(with_hmi(method=12, raw=raw, csize=len(raw), size=1000))


def case_size_near_2_63():
    entries = valid_entries()
    e = entries[0]
    big = (1 << 63) - 1
    e.extra = struct.pack('<HHQ', 1, 8, big)
    e.local_extra = struct.pack('<HHQQ', 1, 16, big, e.csize)
    e.size = big
    return build(entries)


def case_long_gb18030_name():
    # 60,000 bytes of GB18030 become 90,000 bytes of UTF-8.
    name = '丁' * 30000 + '.zip'
    return build(named(name, raw_name=name.encode('gb18030'),
                       manifest_json='{"hmi":{"name":"%s"}}' % name))


def case_control_character_in_name():
    return build(named('hmi\x01.zip'))


def case_name_and_name_with_trailing_dot():
    return build([Entry('hmi.zip', HMI), Entry('hmi.zip.', b'other'),
                  manifest('{"hmi":{"name":"hmi.zip"}}')])


def case_name_and_name_with_trailing_blank():
    return build([Entry('hmi.zip', HMI), Entry('hmi.zip ', b'other'),
                  manifest('{"hmi":{"name":"hmi.zip"}}')])


def case_device_name():
    return build(named('CON'))


def case_device_name_with_extension():
    return build(named('lpt1.zip'))


def case_colon_in_name():
    return build(named('hmi:v2.zip'))


def case_drive_letter_name():
    return build(named('a:b'))


def case_wildcards_in_name():
    return build(named('*?'))


def with_key(key):
    return build([Entry('hmi.zip', HMI), Entry('b.zip', b'b'),
                  manifest('{"hmi":{"name":"hmi.zip"},%s:{"name":"b.zip"}}' % json_string(key))])


def case_key_with_nul():
    return with_key('hmi\0')


def case_key_with_blank():
    return with_key('hmi ')


def case_key_full_width():
    return with_key('ｈｍｉ')


def case_key_with_control_character():
    return with_key('x\x01y')


def case_unknown_key():
    return with_key('firmware')


def case_manifest_deflate64():
    entries = valid_entries()
    entries[1].method = 9
    return build(entries)


def case_manifest_lzma():
    import io
    import zipfile
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, 'w') as z:
        z.writestr('hmi.zip', HMI, compress_type=zipfile.ZIP_DEFLATED)
        z.writestr(MANIFEST, '{"hmi":{"name":"hmi.zip"}}', compress_type=zipfile.ZIP_LZMA)
    return buffer.getvalue()


def case_item_bzip2():
    return build(with_hmi(method=12, raw=bz2.compress(HMI), csize=len(bz2.compress(HMI))))


if __name__ == '__main__':
    case, path = sys.argv[1:3]
    with open(path, 'wb') as f:
        f.write(globals()['case_' + case.replace(' ', '_').replace('-', '_')]())
