#!/usr/bin/env bash
# Writes the fuzzers' seed corpus, tests/fuzz/corpus/: one small package from
# every writer the interop tests take packages from (tests/tst_interop.cpp),
# each with the same few items and a manifest naming them, plus this
# project's own command line. Every seed must be a package `inspect` takes;
# the script fails otherwise. Run it again when a writer is added:
#   bash tests/fuzz/make_corpus.sh [path/to/upgrade-package-cli]
# Needs zip, 7z, bsdtar, python3, jar (scripts/install-deps.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
out=$root/tests/fuzz/corpus
cli=${1:-$root/build/upgrade-package-cli}
if [ ! -x "$cli" ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build --target upgrade-package-cli -j2 >/dev/null
  cli=$root/build/upgrade-package-cli
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LC_ALL=C.UTF-8 TZ=UTC
mkdir -p "$out"
rm -f "$out"/*.zip

# The items: small, some that deflate shrinks and some it cannot.
stage=$work/stage
mkdir -p "$stage"
python3 - "$stage" <<'EOF'
import os, random, sys
stage = sys.argv[1]
random.seed(7)
items = {
    'hmi_v2.zip': b''.join(b'hmi line %d\n' % i for i in range(40)),
    '控制器.bin': bytes(random.getrandbits(8) for _ in range(300)),
    'kr6.cfg': b'kr6 axis=6\n' * 20,
    'empty.png': b'',
}
for name, data in items.items():
    with open(os.path.join(stage, name), 'wb') as f:
        f.write(data)
with open(os.path.join(stage, 'upgrade_package_config.json'), 'w', encoding='utf-8') as f:
    f.write('{\n  "hmi": {"name": "hmi_v2.zip"},\n  "dravo": {"name": "控制器.bin"},\n'
            '  "robot_configuration": {"name": "kr6.cfg"},\n  "logo": {"name": "empty.png"}\n}\n')
EOF
files=(hmi_v2.zip 控制器.bin kr6.cfg empty.png upgrade_package_config.json)
in_stage() { (cd "$stage" && "$@"); }

# This project's command line, with and without a combined package.
"$cli" build --output-dir "$work" --name cli --item hmi="$stage/hmi_v2.zip" \
  --item dravo="$stage/控制器.bin" --item logo="$stage/empty.png" >/dev/null
cp "$work/cli.zip" "$out/cli.zip"
"$cli" build --output-dir "$work" --name cli-merged --item combined="$work/cli.zip" \
  --item robot_configuration="$stage/kr6.cfg" >/dev/null
cp "$work/cli-merged.zip" "$out/cli-merged.zip"
"$cli" build --output-dir "$work" --name cli-empty >/dev/null
cp "$work/cli-empty.zip" "$out/cli-empty.zip"

# Info-ZIP: ordinary, ZIP64 forced, and streamed to a pipe.
in_stage zip -q -j "$out/zip-j.zip" "${files[@]}"
in_stage zip -q -j -fz "$out/zip-zip64.zip" "${files[@]}"
in_stage zip -q -j - "${files[@]}" | cat >"$out/zip-streamed.zip"

# 7-Zip, deflate and bzip2.
in_stage 7z a -tzip -bd -bso0 "$out/7z.zip" "${files[@]}"
in_stage 7z a -tzip -mm=BZip2 -bd -bso0 "$out/7z-bzip2.zip" "${files[@]}"

# bsdtar: sizes in the local header and a data descriptor; and "./" names
# with the folder entry itself, as `bsdtar -C dir .` writes them.
in_stage bsdtar --format zip -cf "$out/bsdtar.zip" "${files[@]}"
bsdtar --format zip -C "$stage" -cf "$out/bsdtar-dot.zip" .

# Java: jar (ZipOutputStream, data descriptors) without and with its manifest.
in_stage jar cfM "$out/jar.zip" "${files[@]}"
in_stage jar cf "$out/jar-manifest.zip" "${files[@]}"

# python's zipfile: deflated, stored, ZIP64 fields, bzip2; a Chinese Windows
# tool (names and manifest in GB18030, no UTF-8 flag, made by MS-DOS); names
# decomposed as macOS writes them, under a composed manifest.
python3 - "$stage" "$out" <<'EOF'
import os, sys, unicodedata, zipfile
stage, out = sys.argv[1:3]
names = ['hmi_v2.zip', '控制器.bin', 'kr6.cfg', 'empty.png', 'upgrade_package_config.json']
data = {n: open(os.path.join(stage, n), 'rb').read() for n in names}

class Gb18030Info(zipfile.ZipInfo):
    def _encodeFilenameFlags(self):
        return self.filename.encode('gb18030'), self.flag_bits & ~0x800

def write(path, method=zipfile.ZIP_DEFLATED, zip64=False, gb18030=False, nfd=False):
    with zipfile.ZipFile(os.path.join(out, path), 'w') as z:
        for name in names:
            body = data[name]
            entry = unicodedata.normalize('NFD', name) if nfd else name
            info = (Gb18030Info if gb18030 else zipfile.ZipInfo)(entry, (2023, 3, 4, 5, 6, 8))
            info.compress_type = method
            info.create_system = 0 if gb18030 else 3
            info.external_attr = 0x20 if gb18030 else 0o100644 << 16
            if gb18030 and name == 'upgrade_package_config.json':
                body = body.decode('utf-8').encode('gb18030')
            with z.open(info, 'w', force_zip64=zip64) as f:
                f.write(body)

write('python-deflated.zip')
write('python-stored.zip', method=zipfile.ZIP_STORED)
write('python-zip64.zip', zip64=True)
write('python-bzip2.zip', method=zipfile.ZIP_BZIP2)
write('gb18030-windows.zip', gb18030=True)
names[0] = 'Café.png'
data['Café.png'] = data.pop('hmi_v2.zip')
data['upgrade_package_config.json'] = data['upgrade_package_config.json'].replace(
    b'hmi_v2.zip', 'Café.png'.encode())
write('python-nfd.zip', nfd=True)
EOF

# Every seed is a package the tool takes, and small.
status=0
for seed in "$out"/*.zip; do
  if ! "$cli" inspect "$seed" >/dev/null; then
    echo "not taken: $seed" >&2
    status=1
  fi
done
du -cb "$out"/*.zip | tail -1
exit $status
