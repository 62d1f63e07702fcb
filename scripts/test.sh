#!/usr/bin/env bash
# Installs what is missing, builds from scratch, starts the test database servers on loopback
# and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --test
rm -rf build
bash scripts/build.sh build
ctest --test-dir build -j2 --output-on-failure --timeout 600
