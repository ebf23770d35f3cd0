#pragma once

#include <type_traits>

/// Marks functions that compile for both the host and a CUDA device.
#if defined(__CUDACC__)
#define TESK_HOST_DEVICE __host__ __device__
#else
#define TESK_HOST_DEVICE
#endif

/// Checks that a record shared with device code stays plain (trivially copyable) and keeps its
/// size, so host and device layouts cannot drift apart unnoticed.
#define TESK_DEVICE_RECORD(T, bytes)                                     \
  static_assert(std::is_trivially_copyable_v<T> && sizeof(T) == (bytes), \
                #T " must stay a plain record of " #bytes " bytes")
