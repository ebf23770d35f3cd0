#!/usr/bin/env bash
# Fetches, where apt works, the Debian packages that scripts/gpu_check.sh needs on a GPU machine
# that cannot install anything (Embree 3 with TBB, GoogleTest) into .deps/ (ignored by git).
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p .deps
cd .deps
apt-get download libembree-dev libembree3-3 libtbb12 libtbb-dev libtbbmalloc2 libtbbbind-2-5 \
  libgtest-dev
ls -l
