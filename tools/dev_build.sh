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

# An editable install (`pip install -e .`) puts an import hook ahead of PYTHONPATH: it would keep loading
# its own copies of the extension modules, and what was just built here would go unseen.
editable=$("$py" - <<'PY'
import importlib.metadata as md, json
try:
    direct = json.loads(md.distribution("velkora").read_text("direct_url.json") or "{}")
except md.PackageNotFoundError:
    direct = {}
print(1 if direct.get("dir_info", {}).get("editable") else 0)
PY
)
if [ "$editable" = 1 ]; then
  cat >&2 <<EOF
dev_build.sh: velkora is installed in editable mode for $py; its import hook comes before
PYTHONPATH=src, so the modules just built here are not the ones that get imported. Either
  $py -m pip uninstall -y velkora       # then PYTHONPATH=src imports these builds
or keep the editable install and have it rebuild what changed on import (no dev_build.sh needed):
  $py -m pip install scikit-build-core cmake ninja
  $py -m pip install --no-build-isolation -Ceditable.rebuild=true -Ceditable.verbose=false \
    -Cbuild-dir=build/editable -e .
EOF
  exit 3
fi
