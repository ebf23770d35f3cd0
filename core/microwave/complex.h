#pragma once

// A small double-precision complex number for the microwave kernels. It compiles unchanged for
// the host and for CUDA devices (std::complex is not usable in device code), has no
// constructors beyond aggregate initialisation, and stays trivially copyable.

#include <cmath>
#include <type_traits>

#include "core/host_device.h"

namespace tesk::microwave {

/// π.
inline constexpr double kPi = 3.14159265358979323846;

/// A complex number re + i·im in double precision.
struct Complex {
  double re = 0.0;  ///< Real part.
  double im = 0.0;  ///< Imaginary part.
};
TESK_DEVICE_RECORD(Complex, 16);

TESK_HOST_DEVICE inline Complex cplx(double re, double im = 0.0) {
  return Complex{re, im};
}

TESK_HOST_DEVICE inline Complex operator+(Complex a, Complex b) {
  return {a.re + b.re, a.im + b.im};
}
TESK_HOST_DEVICE inline Complex operator-(Complex a, Complex b) {
  return {a.re - b.re, a.im - b.im};
}
TESK_HOST_DEVICE inline Complex operator-(Complex a) {
  return {-a.re, -a.im};
}
TESK_HOST_DEVICE inline Complex operator*(Complex a, Complex b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
TESK_HOST_DEVICE inline Complex operator*(Complex a, double s) {
  return {a.re * s, a.im * s};
}
TESK_HOST_DEVICE inline Complex operator*(double s, Complex a) {
  return {a.re * s, a.im * s};
}
TESK_HOST_DEVICE inline Complex operator/(Complex a, double s) {
  return {a.re / s, a.im / s};
}
TESK_HOST_DEVICE inline Complex operator+(Complex a, double s) {
  return {a.re + s, a.im};
}
TESK_HOST_DEVICE inline Complex operator+(double s, Complex a) {
  return {a.re + s, a.im};
}
TESK_HOST_DEVICE inline Complex operator-(Complex a, double s) {
  return {a.re - s, a.im};
}
TESK_HOST_DEVICE inline Complex operator-(double s, Complex a) {
  return {s - a.re, -a.im};
}

/// a / b by Smith's algorithm, which avoids overflow of |b|² for large or small b.
TESK_HOST_DEVICE inline Complex operator/(Complex a, Complex b) {
  if (std::fabs(b.re) >= std::fabs(b.im)) {
    const double r = b.im / b.re;
    const double d = b.re + b.im * r;
    return {(a.re + a.im * r) / d, (a.im - a.re * r) / d};
  }
  const double r = b.re / b.im;
  const double d = b.re * r + b.im;
  return {(a.re * r + a.im) / d, (a.im * r - a.re) / d};
}
TESK_HOST_DEVICE inline Complex operator/(double s, Complex b) {
  return Complex{s, 0.0} / b;
}

TESK_HOST_DEVICE inline Complex& operator+=(Complex& a, Complex b) {
  a.re += b.re;
  a.im += b.im;
  return a;
}
TESK_HOST_DEVICE inline Complex& operator-=(Complex& a, Complex b) {
  a.re -= b.re;
  a.im -= b.im;
  return a;
}
TESK_HOST_DEVICE inline Complex& operator*=(Complex& a, double s) {
  a.re *= s;
  a.im *= s;
  return a;
}

/// Complex conjugate.
TESK_HOST_DEVICE inline Complex conj(Complex a) {
  return {a.re, -a.im};
}
/// Modulus |a| (without intermediate overflow).
TESK_HOST_DEVICE inline double abs(Complex a) {
  return std::hypot(a.re, a.im);
}
/// Squared modulus |a|².
TESK_HOST_DEVICE inline double norm(Complex a) {
  return a.re * a.re + a.im * a.im;
}
/// Argument in (−π, π].
TESK_HOST_DEVICE inline double arg(Complex a) {
  return std::atan2(a.im, a.re);
}
/// Multiplication by i.
TESK_HOST_DEVICE inline Complex times_i(Complex a) {
  return {-a.im, a.re};
}

/// Principal square root (branch cut on the negative real axis; the result has re ≥ 0).
TESK_HOST_DEVICE inline Complex sqrt(Complex a) {
  const double m = abs(a);
  if (m == 0.0) return {0.0, 0.0};
  const double t = std::sqrt(0.5 * (m + std::fabs(a.re)));
  if (a.re >= 0.0) return {t, a.im / (2.0 * t)};
  return {std::fabs(a.im) / (2.0 * t), std::copysign(t, a.im)};
}

/// Exponential e^a.
TESK_HOST_DEVICE inline Complex exp(Complex a) {
  const double m = std::exp(a.re);
  return {m * std::cos(a.im), m * std::sin(a.im)};
}

/// Principal logarithm (imaginary part in (−π, π]).
TESK_HOST_DEVICE inline Complex log(Complex a) {
  return {std::log(abs(a)), arg(a)};
}

}  // namespace tesk::microwave
