# Sourced by bench/idle.sh and bench/restart.sh: builds what they run and makes a folder
# of N small sources that the engine has handled once for real (policy keep, format
# jpeg: an output beside each, a registry record for each source and each output).
#
#   build_driver                      sets $driver (release build)
#   make_handled_folder WORK N        fills WORK/folder, WORK/registry.json
build_driver() {
    if [ ! -f "$root/build/release/build.ninja" ]; then
        "$root/scripts/build.sh" release >"${TMPDIR:-/tmp}/velk-bench-build.log" 2>&1 ||
            { echo "build failed: see ${TMPDIR:-/tmp}/velk-bench-build.log"; exit 1; }
    fi
    cmake --build "$root/build/release" -j2 --target velk_engine_driver >/dev/null
    driver="$root/build/release/tests/engine/velk_engine_driver"
}

make_handled_folder() {
    local work=$1 count=$2
    mkdir -p "$work/seed" "$work/folder"
    # A small photo-like source, so that handling thousands stays a matter of minutes.
    "$driver" --make-images "$work/seed"
    command -v vipsthumbnail >/dev/null ||
        { echo "bench: vipsthumbnail missing: apt-get install libvips-tools (bench/apt-packages.txt)"; exit 1; }
    vipsthumbnail "$work/seed/logo.png" --size 96x96 -o "$work/seed/small.png"
    # Distinct files: the same image, each with a different trailing byte string.
    python3 - "$work/seed/small.png" "$work/folder" "$count" <<'PY'
import sys
seed, folder, count = open(sys.argv[1], "rb").read(), sys.argv[2], int(sys.argv[3])
width = len(str(count))
for i in range(1, count + 1):
    with open(f"{folder}/image-{i:0{width}d}.png", "wb") as out:
        out.write(seed + str(i).encode())
PY
    echo "handling $count sources once (keep, jpeg)…"
    local started=$SECONDS
    "$driver" "$work/folder" "$work/registry.json" keep jpeg
    echo "handled in $((SECONDS - started)) s; outputs beside: $(ls "$work/folder" | grep -c _velkcompressed)"
}
