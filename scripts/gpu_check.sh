#!/usr/bin/env bash
# Builds the module and the C++ tests on a machine with an NVIDIA GPU and runs the GPU checks:
# the traversal, device-path and device tests (C++ and Python: backward image, flux, forward
# field, LiDAR, leaf RRT, energy balance, microwave images) and bench/gpu.py (ray batches and the device workflows next to
# the CPU on all cores), in about 8 minutes on 16
# cores. Where Embree or GoogleTest are not installed, it unpacks the .debs that
# scripts/gpu_deps.sh put into .deps/ under /tmp (nothing is installed system-wide).
#
#   scripts/gpu_check.sh [bench/gpu.py arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-python3}
BUILD=${BUILD:-build/gpu}
JOBS=$(nproc)
export PYTHONUNBUFFERED=1

nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv,noheader || true
cmake_args=(-DPython_EXECUTABLE="$(command -v "$PY")" -DCMAKE_BUILD_TYPE=Release
            -DTESK_BUILD_BENCH=OFF -DTESK_CUDA_ARCH=compute_90)
if ! ls /usr/lib/x86_64-linux-gnu/cmake/embree-* >/dev/null 2>&1 && [[ -d .deps ]]; then
  deps=/tmp/tesk-deps
  mkdir -p "$deps"
  for f in .deps/*.deb; do dpkg -x "$f" "$deps"; done
  export LD_LIBRARY_PATH="$deps/usr/lib/x86_64-linux-gnu:${LD_LIBRARY_PATH:-}"
  cmake_args+=(-DCMAKE_PREFIX_PATH="$deps/usr")
fi
if ! command -v nvcc >/dev/null && [[ -x /usr/local/cuda/bin/nvcc ]]; then
  export PATH=/usr/local/cuda/bin:$PATH
fi

start=$SECONDS
targets=(tesk_gpu tesk_tests)
if ! cmake -S . -B "$BUILD" "${cmake_args[@]}" >/dev/null; then
  # No Python headers there: the C++ device tests still run.
  echo "gpu_check: configuring without the Python module"
  cmake -S . -B "$BUILD" "${cmake_args[@]}" -DTESK_BUILD_PYTHON=OFF >/dev/null
  targets=(tesk_tests)
fi
cmake --build "$BUILD" -j "$JOBS" --target "${targets[@]}"
echo "build: $((SECONDS - start)) s"

status=0
"$BUILD/tesk_tests" --gtest_filter='Bvh*:Cuda*:DevicePaths*:DeviceEnergyBalance*:Lidar*:MicrowavePath*' || status=1
if [[ ${targets[0]} == tesk_gpu ]]; then
  PYTHONPATH="$BUILD" "$PY" -m pytest -q -p no:cacheprovider tests/python/test_cuda.py || status=1
  PYTHONPATH="$BUILD" "$PY" bench/gpu.py "$@" || status=1
fi
echo "gpu_check: $((SECONDS - start)) s, status $status"
exit $status
