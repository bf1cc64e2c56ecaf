#!/usr/bin/env bash
# Sets everything up and runs the quickstart demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/python examples/quickstart.py "$@"
