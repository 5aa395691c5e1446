#!/usr/bin/env bash
# End to end: a release written by the release target of a build that trusts one publisher key,
# served over HTTPS by the local test server with a CA of its own, is checked, downloaded,
# verified and installed by the real VelkUpdater over a copy of the built bundle, and the
# relaunched program logs that it runs as the new version. First, each leaving the copy as it
# was: a release with a forged signature is refused; --update stopped by SIGTERM in the middle
# of a download that never ends leaves no partial file; a release the installer refuses makes
# --update fail with the installer's reason. Where a tmpfs can be mounted (root), TMPDIR is one
# mounted noexec, and no update step may need to run a program from it.
#
#   tests/e2e/update_end_to_end.sh [BUILD_DIR]
#
# BUILD_DIR (default build/e2e) is a build of its own, without tests: it is configured with the
# public half of a signing key made there on its first run and with a download URL on this run's
# server, so do not point it at a build you use for anything else. VELK_RELEASE_TARGET names the
# target that writes the release (default "package"). Exits 77 when a tool it needs is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
release_target=${VELK_RELEASE_TARGET:-release-package}
build=${1:-$root/build/e2e}

for tool in cmake ninja openssl python3; do
    if ! command -v "$tool" >/dev/null; then
        echo "skipped: $tool is not installed"
        exit 77
    fi
done

work=$(mktemp -d)
installed="$work/Applications/VelkCompressor.app"
server=
cleanup() {
    if [ -n "$server" ]; then kill "$server" 2>/dev/null || true; fi
    # The relaunched program, should it still run (a tray left waiting for a display).
    for exe in /proc/[0-9]*/exe; do
        if [ "$(readlink "$exe" 2>/dev/null)" = "$installed/Contents/MacOS/VelkCompressor" ]; then
            pid=${exe#/proc/}
            kill "${pid%/exe}" 2>/dev/null || true
        fi
    done
    if mountpoint -q "$work/tmp" 2>/dev/null; then umount "$work/tmp" || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "update_end_to_end: $*" >&2
    for file in "$work/update.out" "$work/update.err" "$work/log/native.log"; do
        if [ -s "$file" ]; then
            echo "--- ${file#"$work/"}" >&2
            cat "$file" >&2
        fi
    done
    exit 1
}

# 1. A CA of the test's own, a certificate for 127.0.0.1 and the server, whose port the release
#    names.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 \
    -subj /CN=velk-e2e-ca -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=127.0.0.1 \
    -keyout "$work/server.key" -out "$work/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\n' >"$work/san.ext"
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
    -CAcreateserial -days 1 -extfile "$work/san.ext" -out "$work/server.pem" 2>/dev/null
www="$work/www"
mkdir -p "$www/downloads/velk-compressor"
python3 "$root/tests/support/https_server.py" "$www" "$work/server.pem" "$work/server.key" \
    "$work/port" &
server=$!
for _ in $(seq 100); do
    [ -s "$work/port" ] && break
    kill -0 "$server" 2>/dev/null || fail "the HTTPS server did not start"
    sleep 0.1
done
[ -s "$work/port" ] || fail "the HTTPS server did not report its port"
origin="https://127.0.0.1:$(cat "$work/port")"

# 2. The release, written by the release target of a build that trusts only this key.
mkdir -p "$build"
build=$(cd "$build" && pwd)
key="$build/e2e-signing-key.pem"
[ -f "$key" ] || openssl genpkey -algorithm ed25519 -out "$key"
public_key=$(openssl pkey -in "$key" -pubout -outform DER | tail -c 32 | base64)
generator=()
[ -f "$build/CMakeCache.txt" ] || generator=(-G Ninja -DCMAKE_BUILD_TYPE=Debug)
cmake -S "$root" -B "$build" "${generator[@]}" -DVELK_BUILD_TESTS=OFF \
    -DVELK_UPDATE_PUBLIC_KEY="$public_key" -DVELK_RELEASE_SIGNING_KEY= \
    -DVELK_RELEASE_DOWNLOAD_URL="$origin/downloads/velk-compressor/release.tar.gz" >/dev/null
VELK_RELEASE_SIGNING_KEY="$key" cmake --build "$build" -j2 --target "$release_target" >/dev/null ||
    fail "the $release_target target failed"
manifest=$(cat "$build/release/latest.json")
read -r new_version new_build < <(python3 -c \
    'import json,sys; m=json.load(sys.stdin); print(m["version"], m["build"])' <<<"$manifest")
cp "$build/release/VelkCompressor-$new_version.tar.gz" "$www/downloads/velk-compressor/release.tar.gz"
case "$manifest" in *'"signature"'*) ;; *) fail "the release is not signed: $manifest" ;; esac

# 3. The "installed" application: a copy of the built bundle that claims an older version and
#    holds a file the new one does not.
mkdir -p "$work/Applications"
cp -a "$build/VelkCompressor.app" "$work/Applications/"
python3 - "$installed/Contents/Info.plist" <<'PY'
import plistlib, sys
with open(sys.argv[1], "rb") as file:
    info = plistlib.load(file)
info["CFBundleShortVersionString"] = info["CFBundleVersion"] = "0.0.1"
with open(sys.argv[1], "wb") as file:
    plistlib.dump(info, file)
PY
touch "$installed/Contents/Resources/only-in-the-old-bundle"

# The relaunched program inherits this environment: it too keeps to the work folder.
in_work() {
    VELK_UPDATE_MANIFEST_URL="$origin/downloads/velk-compressor/$1" \
        VELK_UPDATE_CA_FILE="$work/ca.pem" VELK_CONFIG_DIR="$work/config" \
        VELK_LOG_DIR="$work/log" VELK_LAUNCH_SMOKE=1 TMPDIR="$work/tmp" HOME="$work/home" \
        XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share" \
        "${@:2}"
}
update() {
    in_work "$1" timeout 120 "$installed/Contents/MacOS/VelkCompressor" --update \
        >"$work/update.out" 2>"$work/update.err"
}
# Nothing of an update may stay beside the installed bundle or in the temporary folder.
expect_no_leftovers() {
    local beside
    beside=$(ls -A "$work/Applications")
    [ "$beside" = VelkCompressor.app ] || fail "$1: left beside the bundle: $beside"
    [ -z "$(ls -A "$work/tmp")" ] || fail "$1: left in TMPDIR: $(ls -A "$work/tmp")"
}
mkdir -p "$work/tmp"
if [ "$(id -u)" = 0 ] && mount -t tmpfs -o noexec,size=512m tmpfs "$work/tmp" 2>/dev/null; then
    echo "TMPDIR is a noexec tmpfs"
fi

# 4. The same release signed by another key is downloaded and refused; nothing changes.
openssl genpkey -algorithm ed25519 -out "$work/other.pem"
openssl pkeyutl -sign -rawin -inkey "$work/other.pem" \
    -in "$www/downloads/velk-compressor/release.tar.gz" -out "$work/forged.sig"
python3 - "$build/release/latest.json" "$work/forged.sig" \
    "$www/downloads/velk-compressor/forged.json" <<'PY'
import base64, json, sys
manifest = json.load(open(sys.argv[1]))
manifest["signature"] = base64.b64encode(open(sys.argv[2], "rb").read()).decode()
json.dump(manifest, open(sys.argv[3], "w"))
PY
status=0
update forged.json || status=$?
[ "$status" = 1 ] || fail "a forged signature: exit $status, expected 1"
grep -q "not signed by the publisher" "$work/update.err" || fail "a forged signature: no such error"
[ -e "$installed/Contents/Resources/only-in-the-old-bundle" ] ||
    fail "a forged release touched the installed bundle"

# The forged package was removed after its check failed, its folder stays (the client's rule).
rm -rf "$work"/tmp/VelkCompressor-Update-*
expect_no_leftovers "a forged signature"

# 4b. SIGTERM while a download trickles in for ever: the partial file goes with the program.
python3 - "$build/release/latest.json" "$origin/drip" "$www/downloads/velk-compressor/drip.json" <<'PY'
import json, sys
manifest = json.load(open(sys.argv[1]))
manifest["download"] = sys.argv[2]
json.dump(manifest, open(sys.argv[3], "w"))
PY
# exec: the signal must reach the program, not a shell around it.
in_work drip.json exec "$installed/Contents/MacOS/VelkCompressor" --update \
    >"$work/update.out" 2>"$work/update.err" &
updating=$!
for _ in $(seq 200); do
    compgen -G "$work/tmp/VelkCompressor-download-*" >/dev/null && break
    sleep 0.1
done
compgen -G "$work/tmp/VelkCompressor-download-*" >/dev/null || fail "the endless download did not start"
sleep 1
kill -TERM "$updating"
status=0
wait "$updating" || status=$?
[ "$status" = 1 ] || fail "--update stopped by SIGTERM: exit $status, expected 1"
grep -q "update stopped" "$work/update.err" || fail "--update did not say it was stopped"
expect_no_leftovers "SIGTERM during the download"

# 4c. A release whose bundle is not the version its manifest names: the installer refuses it,
#     and --update says why and fails, rather than announcing an installation.
python3 - "$build/release/latest.json" "$www/downloads/velk-compressor/refused.json" <<'PY'
import json, sys
manifest = json.load(open(sys.argv[1]))
manifest["version"] += ".0"
json.dump(manifest, open(sys.argv[2], "w"))
PY
status=0
update refused.json || status=$?
[ "$status" = 1 ] || fail "a refused installation: exit $status, expected 1"
grep -qF "update failed: The update bundle does not match the installed application" \
    "$work/update.err" || fail "a refused installation: not the installer's reason"
[ -e "$installed/Contents/Resources/only-in-the-old-bundle" ] ||
    fail "a refused release touched the installed bundle"
sleep 1 # the old program, started again, removes the installer's copy
expect_no_leftovers "a refused installation"

# 5. The genuine release: checked, downloaded, verified, handed to the bundle's VelkUpdater.
cp "$build/release/latest.json" "$www/downloads/velk-compressor/latest.json"
update latest.json || fail "--update failed"
expected="Downloading Velk | Compressor $new_version
Installing Velk | Compressor $new_version; it starts again when done"
[ "$(cat "$work/update.out")" = "$expected" ] || fail "unexpected output of --update"

# 6. The installer swaps the bundle in and starts it again, and that program runs as the new
#    version.
started="Starting Velk | Compressor $new_version (build $new_build)"
for _ in $(seq 300); do
    grep -qsF "$started" "$work/log/native.log" && break
    sleep 0.2
done
grep -qsF "$started" "$work/log/native.log" || fail "the new version did not start"
grep -qF "Starting Velk | Compressor 0.0.1 (build 0.0.1)" "$work/log/native.log" ||
    fail "the old version's start is not in the log"
[ ! -e "$installed/Contents/Resources/only-in-the-old-bundle" ] ||
    fail "the old bundle is still in place"
python3 - "$installed/Contents/Info.plist" "$new_version" <<'PY' || fail "the installed bundle is not $new_version"
import plistlib, sys
sys.exit(plistlib.load(open(sys.argv[1], "rb"))["CFBundleShortVersionString"] != sys.argv[2])
PY
expect_no_leftovers "the installation"
echo "updated from 0.0.1 to $new_version and relaunched"
