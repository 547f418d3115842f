#!/usr/bin/env bash
# Builds extension modules in place (next to their packages under src/) for a quick edit-test loop:
#   tools/dev_build.sh [target ...]        then   PYTHONPATH=src python -m pytest tests/...
# Env: PYTHON (interpreter, default python3), BUILD_DIR (default build/dev), SANITIZE=1.
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
dir=${BUILD_DIR:-build/dev}
san=OFF; [ "${SANITIZE:-0}" = 1 ] && san=ON
cmake -S . -B "$dir" -G Ninja -DVELKORA_INPLACE=ON -DVELKORA_SANITIZE=$san \
  -DPython_EXECUTABLE="$("$py" -c "import sys; print(sys.executable)")" >/dev/null
if [ $# -gt 0 ]; then
  cmake --build "$dir" --target "$@"
else
  cmake --build "$dir"
fi
