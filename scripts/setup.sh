#!/usr/bin/env bash
# Installs what the project needs, idempotently and quickly when everything is present:
# Debian packages (Embree, GoogleTest, CMake, a C++ compiler) and the virtual environment
# .venv with the Python build and test dependencies.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake make libembree-dev libgtest-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing Debian packages: ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: run as root or install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi

# Vulkan backend: loader, headers, the GLSL compiler and a driver with ray queries. Mesa's CPU
# driver (lavapipe) gains ray queries only in the bookworm-backports release, so that suite is
# added in its own sources file and the driver taken from it.
vulkan_packages=(libvulkan-dev glslang-tools vulkan-tools)
vulkan_missing=()
for p in "${vulkan_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || vulkan_missing+=("$p")
done
driver_ok=0
if dpkg-query -W -f='${Version}' mesa-vulkan-drivers 2>/dev/null | grep -q bpo; then
  driver_ok=1
fi
if ((${#vulkan_missing[@]})) || ((!driver_ok)); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "setup: Vulkan packages missing (${vulkan_missing[*]} mesa-vulkan-drivers from bookworm-backports);" \
      "the Vulkan backend is left out of the build" >&2
  else
    export DEBIAN_FRONTEND=noninteractive
    backports=/etc/apt/sources.list.d/bookworm-backports.list
    if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list.d/ /etc/apt/sources.list; then
      echo "deb http://deb.debian.org/debian bookworm-backports main" >"$backports"
    fi
    echo "setup: installing the Vulkan loader, GLSL compiler and lavapipe"
    apt-get update -qq
    apt-get install -y -qq "${vulkan_packages[@]}"
    apt-get install -y -qq -t bookworm-backports mesa-vulkan-drivers
  fi
fi

PYTHON=${PYTHON:-python3}
if [[ ! -x .venv/bin/python ]]; then
  echo "setup: creating .venv with $($PYTHON --version)"
  "$PYTHON" -m venv .venv
fi
stamp=.venv/.requirements-installed
if [[ ! -f $stamp || scripts/requirements.txt -nt $stamp ]]; then
  echo "setup: installing Python requirements into .venv"
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -r scripts/requirements.txt
  touch "$stamp"
fi
