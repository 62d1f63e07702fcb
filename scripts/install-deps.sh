#!/usr/bin/env bash
# Installs the Debian packages that building (and, with --test, testing) needs.
# Only what is missing is installed; run as root on Debian 12.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config git
  zlib1g-dev nlohmann-json3-dev libcli11-dev
  libisal2 libisal-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-0 libsqlite3-dev
  libpq5 libpq-dev
  libfbclient2 firebird-dev
  libssl3 libssl-dev
  libcpp-httplib-dev
  dpkg-dev file
  clang libclang-rt-14-dev
  libedit-dev
)
if [[ "${1:-}" == "--test" ]]; then
  # Real database servers for the tests, started on loopback by scripts/test-servers.sh.
  packages+=(postgresql firebird3.0-server sqlite3 clang-format)
  # systemd-analyze checks the packaged unit file.
  packages+=(systemd)
  # openssl: the TLS tests make their throw-away certificates with it and use its s_client.
  packages+=(openssl)
  # The Python client's tests (clients/python) run with the system's python3 and pytest.
  packages+=(python3 python3-pytest)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all packages present"
  exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
  echo "install-deps: missing packages (${missing[*]}); run as root" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
