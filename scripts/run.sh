#!/usr/bin/env bash
# The project's main job: sets up what is missing, builds the programs and
# shows what they do.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

bash scripts/setup.sh
cmake --preset native-release >/dev/null
cmake --build --preset native-release >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows >/dev/null

echo
echo "Built programs:"
for f in build/native-release/bin/* build/windows/bin/*; do
  [ -f "$f" ] && printf '  %s\n' "$f"
done
