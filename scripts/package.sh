#!/usr/bin/env bash
# Builds the Debian package the Debian way (dpkg-buildpackage with debhelper's
# CMake support) from a copy of this tree, so that the build leaves nothing
# in the checkout or beside it, and checks it with lintian:
#   build/tovaly_VERSION_ARCH.deb    (install: apt install ./build/tovaly_...deb)
# The version is CMake's project version; debian/changelog must agree.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

version=$(sed -n 's/^project(tovaly VERSION \([0-9][0-9.]*\)[ )].*/\1/p' CMakeLists.txt)
logged=$(dpkg-parsechangelog -S Version)
if [ -z "$version" ] || [ "$version" != "$logged" ]; then
  echo "package: CMakeLists.txt says version '$version' but debian/changelog '$logged';" \
       "add a changelog entry for it (dch -v '$version')" >&2
  exit 1
fi
arch=$(dpkg --print-architecture)
work=build/pkg
src=$work/tovaly-$version
rm -rf "$work"
mkdir -p "$src"

# The files of the checkout, committed or not, without its builds.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf - | tar -xf - -C "$src"
else
  tar --exclude='./build*' --exclude='./.git' -cf - . | tar -xf - -C "$src"
fi

echo "Building the package in $work (log: $work/build.log)..."
if ! (cd "$src" && dpkg-buildpackage -b -us -uc -j"$(nproc)") >"$work/build.log" 2>&1; then
  tail -40 "$work/build.log" >&2
  exit 1
fi
deb=build/tovaly_${version}_${arch}.deb
cp "$work/tovaly_${version}_${arch}.deb" "$deb"

# No error from lintian; its warnings and notes are printed for a look.
lintian --fail-on error --info "$deb"
echo "$deb"
