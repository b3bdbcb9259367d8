#!/usr/bin/env bash
# Installs, builds and starts the tool.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
exec build/src/vqgui "$@"
