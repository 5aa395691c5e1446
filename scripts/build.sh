#!/usr/bin/env bash
# Configures and builds one preset (default: release) after setting up the machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
preset=${1:-release}
"$root/scripts/setup.sh"
cd "$root"
if [ ! -f "build/$preset/build.ninja" ]; then
    cmake --preset "$preset" >/dev/null
fi
cmake --build --preset "$preset"
