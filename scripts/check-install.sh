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
    usr/share/man/man1/kuvel-counter.1.gz
    usr/share/man/man1/kuvel-counter-cli.1.gz
    usr/share/man/man1/kuvel-counter-sim.1.gz
    usr/share/man/man1/kuvel-counter-server.1.gz
    usr/lib/udev/rules.d/99-kuvel-counter.rules
    usr/share/doc/kuvel-counter/copyright
    usr/share/doc/kuvel-counter/README.md.gz
)
# The PyMeasure class where Debian's python3 finds it: the package's in the system's folder, an
# install under another prefix in that prefix's folder of python3's version.
python_version=$(/usr/bin/python3 -c 'import sys; print("python%d.%d" % sys.version_info[:2])')
packaged_module=usr/lib/python3/dist-packages/kuvelcounter.py
installed_module=usr/lib/$python_version/dist-packages/kuvelcounter.py
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
for f in "${shipped[@]}" "$installed_module"; do
    [[ -f "$tmp/$f" ]] || fail "install lacks $f"
done
/usr/bin/python3 -c 'import sys; sys.exit("/usr/lib/python3/dist-packages" not in sys.path)' \
    || fail "python3 does not look in /usr/lib/python3/dist-packages"
# The udev rule takes the counter's adapter alone, by its serial number, not every FT232R.
grep -v '^#' "$tmp/usr/lib/udev/rules.d/99-kuvel-counter.rules" | grep -qF 'ATTRS{serial}==' \
    || fail "the udev rule does not match by serial number"
grep -qF '<screenshot type="default">' \
    "$tmp/usr/share/metainfo/org.kuvel.KuvelCounter.metainfo.xml" || fail "metainfo: screenshots"
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
for f in "${programs[@]/#/usr/bin/}" "${shipped[@]}" "$packaged_module"; do
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
