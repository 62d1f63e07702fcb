#!/usr/bin/env bash
# Installs what is missing and builds the server and its client.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
echo "run: build finished in $(pwd)/build"
