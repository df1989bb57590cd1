#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those
# that are missing; `apt-get update` runs only when something must be fetched.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libcpprest-dev libboost-dev libspdlog-dev libfmt-dev libssl-dev
  libsqlite3-dev sqlite3 libcurl4-openssl-dev libarchive-dev zlib1g-dev nlohmann-json3-dev
  libgtest-dev googletest
)
case "${1:-}" in
  --with-windows)
    packages+=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 gcab 7zip)
    ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
