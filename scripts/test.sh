#!/usr/bin/env bash
# Builds and runs the whole test suite. `scripts/test.sh asan` runs it under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
preset=${1:-debug}
"$root/scripts/build.sh" "$preset"
cd "$root"
ctest --preset "$preset"
