#pragma once

/// Marks functions that compile for both the host and a CUDA device.
#if defined(__CUDACC__)
#define TESK_HOST_DEVICE __host__ __device__
#else
#define TESK_HOST_DEVICE
#endif
