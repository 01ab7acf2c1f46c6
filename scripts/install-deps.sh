#!/usr/bin/env bash
# Installs every Debian 12 package the project needs to build, run and test.
# Runs as root, or through sudo otherwise.
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake pkg-config
  libupnp-dev
  libgtest-dev libgmock-dev
  # tests: private networks and independent UPnP peers
  iproute2 procps curl python3 python3-gi
  gir1.2-gupnp-1.6 gir1.2-gupnp-av-1.0 gir1.2-gssdp-1.6
)

if [ "$(id -u)" = 0 ]; then SUDO=(); else SUDO=(sudo); fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  "${SUDO[@]}" apt-get update -qq
  "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
