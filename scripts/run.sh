#!/usr/bin/env bash
# Builds the program and runs it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" release
exec "$root/build/release/src/app/VelkCompressor" --version
