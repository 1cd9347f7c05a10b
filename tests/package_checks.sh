#!/usr/bin/env bash
# Checks the files that make the program install like a Debian program, as
# Debian's own tools see them:
#   lintian               the .deb (given as $1): no error and no warning
#   desktop-file-validate the menu entry: no error, warning or hint
#   appstreamcli validate the AppStream metainfo, offline
#   groff and man         both manual pages render without a warning
#   bash completion       commands, options, item types and file names
# Needs no root; tests/deb_package.sh runs it on the package it built.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
deb=${1:?usage: tests/package_checks.sh PACKAGE.deb}
export LC_ALL=C.UTF-8
source tests/checks_tally.sh

# ---- lintian -----------------------------------------------------------------
# Errors and warnings fail; informational tags are shown (README lists them).
lintian_out=$(lintian --display-info --fail-on error,warning --color never "$deb" 2>&1)
lintian_code=$?
grep -v '^running with root privileges' <<<"$lintian_out" | grep -v '^N:' || true
if [ "$lintian_code" -eq 0 ]; then
  pass "lintian: no error, no warning"
else
  fail "lintian reported errors or warnings (exit $lintian_code)"
fi

# ---- menu entry ----------------------------------------------------------------
desktop=resources/upgrade-package-tool.desktop
if out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ]; then
  pass "desktop-file-validate: nothing to say"
else
  echo "$out"
  fail "desktop-file-validate"
fi
for key in Name 'Name\[zh_CN\]' Comment 'Comment\[zh_CN\]' Icon; do
  grep -q "^${key}=." "$desktop" || fail "menu entry has no ${key//\\/}"
done
grep -qx 'Exec=upgrade-package-tool %F' "$desktop" || fail "menu entry's Exec does not pass files"
grep -q '^MimeType=.*application/zip;' "$desktop" || fail "menu entry does not open ZIP files"

# ---- AppStream -----------------------------------------------------------------
metainfo=$(ls resources/*.metainfo.xml)
out=$(appstreamcli validate --no-net --pedantic "$metainfo" 2>&1)
code=$?
echo "$out"
if [ "$code" -eq 0 ]; then
  pass "appstreamcli validate --no-net"
else
  fail "appstreamcli validate --no-net (exit $code)"
fi
id=$(sed -n 's:^  <id>\(.*\)</id>$:\1:p' "$metainfo")
[ "$(basename "$metainfo")" = "$id.metainfo.xml" ] || fail "metainfo file is not named after its id $id"

# ---- manual pages ----------------------------------------------------------------
for page in docs/man/*.1; do
  warnings=$(groff -ww -man -Tutf8 -z "$page" 2>&1)
  warnings+=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  if [ -z "$warnings" ]; then
    pass "$page renders without warnings"
  else
    echo "$warnings"
    fail "$page: groff or man warned"
  fi
done
# One place lists the codes: every code must be there, each once.
cli_page=docs/man/upgrade-package-cli.1
for code in not-found not-regular-file no-read-permission read-error not-zip \
  too-many-entries directory-too-large data-before-entries data-between-entries data-after-end \
  comment-holds-end-record zip64-mismatch entries-overlap entry-past-end \
  local-header-mismatch data-descriptor-mismatch entry-too-large entry-corrupt \
  unsupported-method encrypted-entry link-entry unsafe-entry-name \
  unportable-entry-name entry-name-repeated manifest-missing manifest-in-folder \
  manifest-too-large manifest-not-object member-invalid key-imitates-type \
  named-entry-missing named-entry-not-file package-changed cancelled entry-left-out; do
  count=$(grep -c "^\.B ${code//-/\\\\-}\$" "$cli_page")
  [ "$count" -eq 1 ] || fail "man page lists code $code $count times"
done
for option in output-dir name item force quiet jobs json help version; do
  grep -q "\\\\-\\\\-${option//-/\\\\-}" "$cli_page" || fail "man page does not document --$option"
done
for status in 0 1 2 3 129 130 143; do
  grep -q "^\.B $status\$" "$cli_page" || fail "man page does not explain exit status $status"
done

# ---- the version ---------------------------------------------------------------------
# Written by hand in the pages, the changelog and the metainfo: they must
# follow the project's version, which names the package.
version=$(sed -n 's/^project(.* VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
grep -q "^upgrade-package-tool ($version) " docs/package/changelog \
  || fail "docs/package/changelog does not start with version $version"
grep -q "<release version=\"$version\"" "$metainfo" || fail "metainfo has no release $version"
for page in docs/man/*.1; do
  grep -q "^\.TH .* \"upgrade\\\\-package\\\\-[a-z]* $version\"" "$page" \
    || fail "$page is not for version $version"
done

# ---- bash completion -------------------------------------------------------------
# Completes LINE (the text before the cursor) as bash would: the words split
# at blanks and at "=", as COMP_WORDBREAKS does. Prints one candidate a line.
complete_line() {
  local script=$1 line=$2 folder=$3
  (
    cd "$folder" || exit 1
    # shellcheck disable=SC1091
    source /usr/share/bash-completion/bash_completion
    # shellcheck disable=SC1090
    source "$script"
    COMP_LINE=$line
    COMP_POINT=${#line}
    read -ra COMP_WORDS <<<"${line//=/ = }"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    compopt() { :; } # only valid inside a real completion
    _upgrade_package_cli upgrade-package-cli "${COMP_WORDS[COMP_CWORD]}" \
      "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort
  )
}
check_completion() {
  local script=$1 line=$2 expected=$3 folder=$4 got
  got=$(complete_line "$script" "$line" "$folder" | tr '\n' ' ' | sed 's/ $//')
  if [ "$got" = "$expected" ]; then
    return 0
  fi
  fail "completing '$line': got '$got', expected '$expected'"
}
completion_cases() {
  local script=$1 folder
  folder=$(mktemp -d)
  mkdir "$folder/releases"
  touch "$folder/hmi_v2.zip" "$folder/robot_v4.kpz" "$folder/notes.txt"
  local before=$failures
  check_completion "$script" "upgrade-package-cli " "build inspect" "$folder"
  check_completion "$script" "upgrade-package-cli --v" "--version" "$folder"
  check_completion "$script" "upgrade-package-cli b" "build" "$folder"
  check_completion "$script" "upgrade-package-cli build --" \
    "--force --help --item --jobs --name --output-dir --quiet --replace" "$folder"
  check_completion "$script" "upgrade-package-cli build --item 3" "3D模型= 3d_model=" "$folder"
  check_completion "$script" "upgrade-package-cli build --item 伺" "伺服参数=" "$folder"
  check_completion "$script" "upgrade-package-cli build --item co" "combined= controller=" "$folder"
  check_completion "$script" "upgrade-package-cli build --item hmi=" \
    "hmi_v2.zip notes.txt releases robot_v4.kpz" "$folder"
  check_completion "$script" "upgrade-package-cli build --item 组合包=r" "releases robot_v4.kpz" "$folder"
  check_completion "$script" "upgrade-package-cli build --output-dir " "releases" "$folder"
  check_completion "$script" "upgrade-package-cli build --name x --j" "--jobs" "$folder"
  check_completion "$script" "upgrade-package-cli inspect " "hmi_v2.zip releases robot_v4.kpz" "$folder"
  check_completion "$script" "upgrade-package-cli inspect --" "--help --json" "$folder"
  rm -rf "$folder"
  [ "$failures" -eq "$before" ] && pass "bash completion ($script)"
}
completion_cases "$PWD/resources/upgrade-package-cli.bash-completion"

report_tally package_checks
