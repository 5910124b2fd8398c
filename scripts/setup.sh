#!/usr/bin/env bash
# Installs what the project needs to build and test. Debian: apt-get (as root
# or with sudo). macOS: prints the Homebrew formulas to install.
set -euo pipefail

debian_packages=(
  build-essential cmake ninja-build pkg-config ccache clang libclang-rt-14-dev
  libicu-dev icu-devtools libsimdjson-dev nlohmann-json3-dev
  libcurl4-openssl-dev libvips-dev libssl-dev libcpp-httplib-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)
brew_formulas=(cmake ninja pkg-config ccache icu4c simdjson nlohmann-json curl vips googletest google-benchmark cpp-httplib)

if [[ "$(uname)" == Darwin ]]; then
  echo "On macOS install: brew install ${brew_formulas[*]}"
  exit 0
fi

missing=()
for p in "${debian_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [[ $(id -u) -ne 0 ]] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
