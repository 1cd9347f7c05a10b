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


# Extra fields: id, length, data; the block must hold them exactly.
def extra_field(field_id, data):
    return struct.pack('<HH', field_id, len(data)) + data


def unicode_path(name, stored_name, crc=None):
    """An Info-ZIP Unicode Path field (0x7075) for stored_name naming name."""
    name = name.encode('utf-8') if isinstance(name, str) else name
    crc = zlib.crc32(stored_name) if crc is None else crc
    return extra_field(0x7075, struct.pack('<BI', 1, crc) + name)


def ut_field(mtime, flags=1):
    return extra_field(0x5455, struct.pack('<Bi' if mtime < 1 << 31 else '<BI', flags, mtime))


def ntfs_field(mtime):
    filetime = (mtime + 11644473600) * 10000000
    return extra_field(0x000a, struct.pack('<IHHQQQ', 0, 1, 24, filetime, filetime, filetime))


def case_central_extra_runs_past():
    # A field that claims 20 bytes in a block of 9.
    return build(with_hmi(extra=struct.pack('<HH', 0x5455, 20) + b'\x01abcd'))


def case_local_extra_runs_past():
    return build(with_hmi(local_extra=struct.pack('<HH', 0x5455, 20) + b'\x01abcd'))


def case_extra_tail_not_zero():
    return build(with_hmi(extra=ut_field(1700000000) + b'\x01\x02'))


def case_extra_padded_with_zeros():
    # Alignment tools pad the local header's extra block with up to 3 zeros.
    return build(with_hmi(extra=ut_field(1700000000) + b'\0\0\0',
                          local_extra=ut_field(1700000000) + b'\0\0'))


def case_unicode_path_leads_outside():
    # unzip and bsdtar unpack hmi.zip as ../../evil.sh.
    return build(with_hmi(extra=unicode_path('../../evil.sh', b'hmi.zip')))


def case_unicode_path_names_the_manifest():
    # libzip reads the readme as a second upgrade_package_config.json.
    readme = Entry('readme.txt', b'{"hmi":{"name":"evil.bin"}}',
                   extra=unicode_path(MANIFEST, b'readme.txt'))
    return build(valid_entries() + [readme])


def case_unicode_path_in_local_header():
    return build(with_hmi(local_extra=unicode_path('ctrl.zip', b'hmi.zip')))


def case_stale_unicode_path():
    # Left behind by a rename: its CRC-32 is not that of the stored name, so
    # every reader ignores it.
    return build(with_hmi(extra=unicode_path('old.zip', b'old.zip')))


def case_unicode_path_agrees():
    # As Info-ZIP's zip writes it on Windows: the name in the ANSI code page,
    # the field in UTF-8.
    name = '控制器.zip'
    field = unicode_path(name, name.encode('gb18030'))
    item = Entry(name.encode('gb18030'), HMI, flags=0, extra=field, local_extra=field)
    return build([item, manifest('{"dravo":{"name":"%s"}}' % name)])


def case_unicode_path_over_a_western_code_page():
    # Info-ZIP's zip on a Western Windows: the name in CP437, which no reader
    # takes for GB18030, and the field in UTF-8, which unzip, bsdtar, libzip
    # and (through CP437) python all read.
    readme = 'Café notes.txt'
    field = unicode_path(readme, readme.encode('cp437'))
    notes = Entry(readme.encode('cp437'), b'left out', flags=0, extra=field, local_extra=field)
    return build(valid_entries() + [notes])


def case_utf_8_flag_on_invalid_name():
    readme = Entry(b'readme\xff.txt', b'left out', flags=0x800)
    return build(valid_entries() + [readme])


def case_gb18030_name_cut_short():
    # A lead byte at the end: Qt's GB18030 decoder drops it, so the name
    # would be carried as "hmi".
    item = Entry(b'hmi\x81', HMI, flags=0)
    return build([item, manifest('{"hmi":{"name":"hmi"}}')])


def case_key_with_lone_surrogate():
    return with_key('x\ud800')


def case_key_with_invalid_utf_8():
    return build([Entry('hmi.zip', HMI), Entry('b.zip', b'b'),
                  manifest(b'{"hmi":{"name":"hmi.zip"},"x\xff":{"name":"b.zip"}}'.decode('latin-1'),
                           encoding='latin-1')])


def case_manifest_name_with_lone_surrogate():
    return build([Entry('hmi.zip', HMI),
                  manifest('{"hmi":{"name":"hmi.zip"},"logo":{"name":"x\\ud800.png"}}')])


def case_name_with_nul():
    # Read up to the NUL, the name would be hmi.zip: python and unzip read it
    # so, Java reads all of it.
    return build([Entry(b'hmi.zip\x00.sh', HMI), manifest('{"hmi":{"name":"hmi.zip"}}')])


def case_name_with_zero_width_space():
    return build(named('hmi\u200b.zip'))


def case_name_with_right_to_left_override():
    return build(named('hmi\u202egpj.zip'))


def case_name_beside_name_with_format_character():
    return build([Entry('hmi.zip', HMI), Entry('hmi\u00ad.zip', b'other'),
                  manifest('{"hmi":{"name":"hmi.zip"},"logo":{"name":"hmi\\u00ad.zip"}}')])


def case_left_out_names_that_act_on_a_terminal():
    return build(valid_entries() + [Entry('\x1b]0;pwned\x07\x1b[2J.txt', b'x'),
                                    Entry(b'nul\x00.txt', b'x'), Entry('\u202etxt.exe', b'x')])


def case_zero_padding_after_end_record():
    return build(valid_entries(), suffix=bytes(10240 - 40))


def case_zero_padding_with_comment():
    return build(valid_entries(), comment=b'x' * 60000, suffix=bytes(5000))


def case_zero_padding_then_a_byte():
    return build(valid_entries(), suffix=bytes(100) + b'x')


def case_comment_and_padding_past_64_KiB():
    # Readers look for the end record in the last 65,557 bytes only.
    return build(valid_entries(), comment=b'x' * 60000, suffix=bytes(6000))


def case_left_out_name_of_1025_bytes():
    return build(valid_entries() + [Entry('n' * 1025, b'x')])


def case_left_out_name_of_1024_bytes():
    return build(valid_entries() + [Entry('d/' * 511 + 'nn', b'x')])


def case_times_in_extra_fields():
    """Entries whose extra fields hold UTC times, each as one writer puts them."""
    central_ut = Entry('ut.bin', b'1', extra=ut_field(1700000000),
                       local_extra=extra_field(0x5455, struct.pack('<Bii', 3, 1700000000, 5)))
    local_ut = Entry('local-ut.bin', b'2', local_extra=ut_field(1600000000))
    ntfs = Entry('ntfs.bin', b'3', extra=ntfs_field(1500000000), local_extra=ntfs_field(1500000000))
    both = Entry('ut-before-ntfs.bin', b'4', extra=ntfs_field(1400000000) + ut_field(1300000000))
    central_first = Entry('central-first.bin', b'5', extra=ut_field(1200000000),
                          local_extra=ut_field(1100000000))
    no_time = Entry('ut-without-time.bin', b'6', extra=ut_field(1000000000, flags=6))
    high_bit = Entry('ut-top-bit.bin', b'7', extra=ut_field(0x80000000))
    none = Entry('none.bin', b'8')
    entries = [central_ut, local_ut, ntfs, both, central_first, no_time, high_bit, none]
    return build(entries + [manifest('{}')])


if __name__ == '__main__':
    case, path = sys.argv[1:3]
    with open(path, 'wb') as f:
        f.write(globals()['case_' + case.replace(' ', '_').replace('-', '_')]())
