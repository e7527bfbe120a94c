#!/usr/bin/env bash
# Checks what a user gets from a build: an install into a temporary prefix whose programs all
# answer --version, and the .deb's file list, shared-library Depends and lintian's errors.
# Usage: scripts/check-install.sh [build directory, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
programs=(kuvel-counter kuvel-counter-cli kuvel-counter-sim kuvel-counter-server)
shipped=(
    usr/share/applications/kuvel-counter.desktop
    usr/share/metainfo/org.kuvel.KuvelCounter.metainfo.xml
    usr/share/icons/hicolor/scalable/apps/kuvel-counter.svg
    usr/share/icons/hicolor/16x16/apps/kuvel-counter.png
    usr/share/icons/hicolor/256x256/apps/kuvel-counter.png
    usr/share/man/man1/kuvel-counter-cli.1.gz
    usr/share/man/man1/kuvel-counter-sim.1.gz
    usr/share/man/man1/kuvel-counter-server.1.gz
    usr/share/kuvel-counter/python/kuvelcounter.py
    usr/lib/udev/rules.d/99-kuvel-counter.rules
    usr/share/doc/kuvel-counter/copyright
)
# The Tango device server where cppTango was there to build it.
if [[ -x "$build/tango/kuvel-counter-tango" ]]; then
    programs+=(kuvel-counter-tango)
    shipped+=(usr/share/man/man1/kuvel-counter-tango.1.gz
        usr/share/doc/kuvel-counter/examples/kuvel-counter-tango.db)
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "check-install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$tmp/usr" >/dev/null
for p in "${programs[@]}"; do
    out=$(QT_QPA_PLATFORM=offscreen "$tmp/usr/bin/$p" --version) || fail "$p --version failed"
    [[ "$out" =~ ^$p\ [0-9]+\.[0-9]+ ]] || fail "$p --version printed '$out'"
done
for f in "${shipped[@]}"; do
    [[ -f "$tmp/$f" ]] || fail "install lacks $f"
done
# Only what ships: the developers' programs stay out.
extra=$(ls "$tmp/usr/bin" | grep -vxF "${programs[@]/#/-e}" || true)
[[ -z "$extra" ]] || fail "installs programs that do not ship: $extra"
# GPL-3.0-or-later: the licence's text at the top of the sources, the package's copyright file
# in Debian's machine-readable format, and the metainfo.
cmp -s LICENSE /usr/share/common-licenses/GPL-3 || fail "LICENSE is not the text of the GPL-3"
copyright=$tmp/usr/share/doc/kuvel-counter/copyright
head -n1 "$copyright" | grep -qF copyright-format/1.0 || fail "copyright is not machine-readable"
grep -A2 -xF 'Files: *' "$copyright" | grep -qxF 'License: GPL-3+' || fail "copyright: Files: * is not GPL-3+"
grep -qF /usr/share/common-licenses/GPL-3 "$copyright" || fail "copyright does not point to the GPL-3"
grep -qF '<project_license>GPL-3.0-or-later</project_license>' \
    "$tmp/usr/share/metainfo/org.kuvel.KuvelCounter.metainfo.xml" || fail "metainfo: project_license"
desktop-file-validate "$tmp/usr/share/applications/kuvel-counter.desktop"
appstreamcli validate --no-net --no-color \
    "$tmp/usr/share/metainfo/org.kuvel.KuvelCounter.metainfo.xml" >/dev/null

(cd "$build" && cpack -G DEB -B "$tmp/deb" >/dev/null 2>&1)
deb=$(ls "$tmp"/deb/kuvel-counter_*.deb)
list=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||')
for f in "${programs[@]/#/usr/bin/}" "${shipped[@]}"; do
    grep -qxF "$f" <<<"$list" || fail "package lacks $f"
done
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt5widgets5 libqt5serialport5 libqcustomplot; do
    [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
dpkg-deb -x "$deb" "$tmp/root"
for p in "${programs[@]}"; do
    [[ $(file -b "$tmp/root/usr/bin/$p") == *", stripped"* ]] || fail "$p is not stripped"
done
lintian --fail-on error "$deb" >"$tmp/lintian.txt" 2>&1 || { cat "$tmp/lintian.txt"; fail "lintian found errors"; }
echo "check-install: install and package OK ($(basename "$deb"))"
