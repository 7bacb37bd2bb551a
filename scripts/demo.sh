#!/usr/bin/env bash
# Sets everything up (see setup.sh) and runs the main job on a synthetic chunk.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/setup.sh
.venv/bin/python scripts/demo.py "$@"
