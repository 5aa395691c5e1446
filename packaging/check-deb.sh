#!/usr/bin/env bash
# Checks what the Debian package installs: given a .deb, its contents and control fields;
# given a folder, an install tree made with `DESTDIR=… cmake --install BUILD --prefix /usr`.
# Prints each fault and exits 1 when there is one.
#
#   packaging/check-deb.sh velk-compressor_<version>_<arch>.deb | INSTALL_TREE
set -euo pipefail
subject=${1:?usage: check-deb.sh PACKAGE.deb | INSTALL_TREE}
faults=0
fault() { echo "check-deb: $*" >&2; faults=$((faults + 1)); }

work=
trap '[ -n "$work" ] && rm -rf "$work"' EXIT
if [ -d "$subject" ]; then
    tree=$subject
else
    work=$(mktemp -d)
    tree=$work/root
    dpkg-deb -x "$subject" "$tree"
    depends=$(dpkg-deb -f "$subject" Depends)
    # dpkg-shlibdeps found the libraries the programs link, not a hand-kept list.
    for library in libc6 libvips42 libarchive13 libplist3; do
        [[ "$depends" == *"$library"* ]] || fault "Depends lacks $library: $depends"
    done
    not_root=$(dpkg-deb -c "$subject" | awk '$2 != "root/root"' | head -3)
    [ -z "$not_root" ] || fault "entries not owned by root: $not_root"
fi

bundle=opt/velk-compressor/VelkCompressor.app
program=$bundle/Contents/MacOS/VelkCompressor
for executable in "$program" "$bundle/Contents/Resources/Helpers/VelkUpdater"; do
    [ -x "$tree/$executable" ] && [ ! -L "$tree/$executable" ] ||
        fault "missing program /$executable"
done
[ -f "$tree/$bundle/Contents/Info.plist" ] || fault "missing /$bundle/Contents/Info.plist"
link=$(readlink "$tree/usr/bin/velk-compressor" || true)
[ "$link" = "/$program" ] || fault "/usr/bin/velk-compressor should link to /$program, not '$link'"
# Debian keeps these up to date; the package recommends them instead of carrying copies.
for tool in cwebp webpmux pngquant; do
    [ ! -e "$tree/$bundle/Contents/Resources/bin/$tool" ] || fault "bundle carries Debian's $tool"
done
# The tools Debian lacks travel in the bundle, stripped on the way; a copy that no longer
# runs would only drop its candidate, unnoticed.
oxipng=$tree/$bundle/Contents/Resources/bin/oxipng
if [ -e "$oxipng" ]; then
    version=$("$oxipng" --version 2>/dev/null </dev/null | head -n 1 || true)
    [[ "$version" == "oxipng "* ]] || fault "the bundle's oxipng does not run: '$version'"
fi
unit=$tree/usr/lib/systemd/user/velk-compressor.service
if [ -f "$unit" ]; then
    grep -qx 'ExecStart=/usr/bin/velk-compressor --headless' "$unit" ||
        fault "the user unit does not start /usr/bin/velk-compressor: $(grep ExecStart "$unit")"
else
    fault "missing /usr/lib/systemd/user/velk-compressor.service"
fi
for document in copyright changelog.Debian.gz; do
    [ -f "$tree/usr/share/doc/velk-compressor/$document" ] || fault "missing doc $document"
done
launcher=$tree/usr/share/applications/velk-compressor.desktop
if [ -f "$launcher" ]; then
    grep -Eq '^Exec=velk-compressor( |$)' "$launcher" ||
        fault "the launcher does not run velk-compressor"
fi

if ((faults)); then exit 1; fi
echo "check-deb: $subject is complete"
