#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those
# that are missing; `apt-get update` runs only when something must be fetched.
set -euo pipefail

packages=(
  build-essential dpkg-dev patch cmake pkg-config
  libcpprest-dev libboost-dev libspdlog-dev libfmt-dev libssl-dev
  libsqlite3-dev sqlite3 libcurl4-openssl-dev libarchive-dev zlib1g-dev nlohmann-json3-dev openssl
  libgtest-dev googletest
)
case "${1:-}" in
  --with-windows)
    packages+=(g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 gcab 7zip)
    ;;
esac

# The build takes cpprestsdk's source package from the same suite as the
# installed library, and patches it.
src_list=/etc/apt/sources.list.d/rk-deb-src.sources
need_update=0
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  src_entry="Types: deb-src
URIs: http://deb.debian.org/debian
Suites: ${suite}
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
  echo "adding ${src_list}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "$src_entry" | sudo tee "$src_list" >/dev/null
  else
    echo "$src_entry" >"$src_list"
  fi
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && [ "$need_update" -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
