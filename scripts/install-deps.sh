#!/usr/bin/env bash
# Installs every Debian 12 package the project needs to build, run and test.
# Runs as root, or through sudo otherwise.
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake pkg-config
  libupnp-dev libmicrohttpd-dev libqrencode-dev
  qt6-base-dev qt6-tools-dev qt6-l10n-tools libgl-dev
  libgtest-dev libgmock-dev
  # metadata of media files (read by the tovaly-meta helper) and its cache
  libtag1-dev libavformat-dev libavcodec-dev libavutil-dev libswscale-dev
  libexif-dev libturbojpeg0-dev libsqlite3-dev
  # the Debian package (scripts/package.sh) and the checks of its files: its
  # manual pages, units (systemd-analyze; systemd need not run) and the system
  # calls of its programs
  debhelper dpkg-dev lintian man-db systemd strace
  # fuzzing (scripts/fuzz.sh); llvm-14 symbolizes what a fuzzer finds
  clang libclang-rt-14-dev llvm-14
  # tests of the desktop program: a display, a notification area, QR reading,
  # and the check of the menu entry
  xvfb xauth trayer zbar-tools desktop-file-utils fonts-dejavu-core
  # tests of the metadata reader make their media files with these
  ffmpeg libimage-exiftool-perl
  # tests: private networks and independent UPnP peers (run only inside
  # network namespaces the tests make)
  iproute2 procps curl python3 python3-gi
  gir1.2-gupnp-1.6 gir1.2-gupnp-av-1.0 gir1.2-gssdp-1.6
  minidlna
  gmediarender gstreamer1.0-plugins-base gstreamer1.0-plugins-good
)
# Peers that Debian would start as system services on the real network.
DAEMONS=(minidlna gmediarender)

if [ "$(id -u)" = 0 ]; then SUDO=(); else SUDO=(sudo); fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

echo "Installing: ${missing[*]}"
# Keep the peers' packages from starting their services during installation.
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | "${SUDO[@]}" tee "$policy" >/dev/null
  "${SUDO[@]}" chmod +x "$policy"
  made_policy=1
fi
trap '[ $made_policy = 1 ] && "${SUDO[@]}" rm -f "$policy"' EXIT
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"

# Daemons installed just now stay off: the tests start their own copies.
if [ -d /run/systemd/system ]; then
  for d in "${DAEMONS[@]}"; do
    if printf '%s\n' "${missing[@]}" | grep -qx "$d"; then
      "${SUDO[@]}" systemctl disable --now "$d" >/dev/null 2>&1 || true
    fi
  done
fi
