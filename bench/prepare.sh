# shellcheck shell=bash
# Sourced by the benchmarks: installs the corpus packages and finds the program.
#
#   bench_prepare "$@"   sets $program (the bundle's executable) and leaves the other
#                        arguments in the array $bench_args. With --program PATH that
#                        executable is used as it is; otherwise the release bundle is built.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench="$root/bench"
out="$bench/out"

bench_install_packages() {
    local missing=() package
    while read -r package; do
        case "$package" in '' | '#'*) continue ;; esac
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
    done <"$bench/apt-packages.txt"
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing ${missing[*]}…"
    if [ "$(id -u)" -ne 0 ]; then
        echo "bench: run as root, or install: apt-get install ${missing[*]}" >&2
        exit 1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" \
        >"$out/apt.log" 2>&1 || { echo "apt-get failed: see $out/apt.log" >&2; exit 1; }
}

# Only the program and its bundle: the tests play no part in a benchmark.
bench_build_release() {
    echo "building the program (release)…"
    {
        "$root/scripts/setup.sh" &&
            { [ -f "$root/build/release/build.ninja" ] || (cd "$root" && cmake --preset release); } &&
            cmake --build "$root/build/release" --target velk_bundle
    } >"$out/build.log" 2>&1 || { echo "build failed: see $out/build.log" >&2; exit 1; }
    program="$root/build/release/VelkCompressor.app/Contents/MacOS/VelkCompressor"
}

bench_prepare() {
    mkdir -p "$out"
    program=""
    bench_args=()
    while [ $# -gt 0 ]; do
        case "$1" in
        --program)
            [ $# -ge 2 ] || { echo "--program needs a path" >&2; exit 2; }
            program=$(realpath "$2")
            shift 2
            ;;
        --program=*)
            program=$(realpath "${1#--program=}")
            shift
            ;;
        *)
            bench_args+=("$1")
            shift
            ;;
        esac
    done
    bench_install_packages
    [ -n "$program" ] || bench_build_release
    [ -x "$program" ] || { echo "no program at $program" >&2; exit 1; }
}
