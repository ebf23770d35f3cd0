// The subset of C++ and GLSL in which a header can be read by both the host compiler and the
// Vulkan shader compiler: plain structs of scalars, `const` scalars and free functions whose
// record parameters are passed by value (GLSL `in`) and by const reference in C++. A header
// written with these macros holds the one copy of its equations for the CPU, CUDA and Vulkan
// backends. C++-only parts (namespaces, includes, static_asserts, pointers) sit in
// `#ifdef __cplusplus` blocks.
#ifndef TESK_SHARED_LANGUAGE_H
#define TESK_SHARED_LANGUAGE_H

#ifdef __cplusplus
#include <math.h>

#include "core/host_device.h"
/// A constant of the shared subset.
#define TESK_SHARED_CONST inline constexpr
/// A function of the shared subset (also a CUDA host/device function).
#define TESK_SHARED_FN TESK_HOST_DEVICE inline
/// A read-only record parameter: const reference in C++, `in` (a copy) in GLSL.
#define TESK_SHARED_IN(T) const T&
/// A read-only array parameter of N elements: a pointer in C++, `in T name[N]` in GLSL.
#define TESK_SHARED_ARRAY_IN(T, name, N) const T* name
/// A default member initialiser; GLSL structs have none, so shared code sets every field.
#define TESK_SHARED_DEFAULT(value) = value
#else
#define TESK_SHARED_CONST const
#define TESK_SHARED_FN
#define TESK_SHARED_IN(T) in T
#define TESK_SHARED_ARRAY_IN(T, name, N) in T name[N]
#define TESK_SHARED_DEFAULT(value)
// The single-precision C math functions by their GLSL names.
#define expf exp
#define sqrtf sqrt
#define fabsf abs
#define fminf min
#define fmaxf max
#define acosf acos
#define atan2f atan
#endif

#endif  // TESK_SHARED_LANGUAGE_H
