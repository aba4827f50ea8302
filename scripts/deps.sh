#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, and
# any more named on its command line, when any is missing. Safe to run
# again; needs root (or sudo) only to install.
#   ./scripts/deps.sh [package...]
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libcjson-dev libcurl4-openssl-dev libssl-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  tinyproxy microsocks dante-server
  procps psmisc iproute2 util-linux
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
