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
