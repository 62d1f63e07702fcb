#!/usr/bin/env bash
# Installs what is missing, builds from scratch, starts PostgreSQL and Firebird on loopback with
# throw-away data folders, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --test
rm -rf build
bash scripts/build.sh build

state_dir="$(pwd)/build/test-servers"
trap 'bash scripts/test-servers.sh stop "$state_dir"' EXIT
bash scripts/test-servers.sh start "$state_dir"
# shellcheck disable=SC1091
source "$state_dir/test-servers.env"
ctest --test-dir build -j2 --output-on-failure --timeout 600
