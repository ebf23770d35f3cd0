#pragma once

// Cylindrical Bessel functions of integer order and complex argument for the trunk series.
//
// J_n: Miller's backward recurrence from an order well past both n_max and |z|, normalized by
//   the generating-function identity e^{∓iz} = J_0 + 2·Σ_{k≥1} (∓i)^k J_k (the sign chosen so
//   that the sum grows like |J| and never cancels). Valid for every z with |Im z| < 700.
// Y_0, Y_1: for |z| < 17 Neumann's series in the J_k already produced by the recurrence,
//   Y_0 = (2/π)(ln(z/2) + γ)J_0 − (4/π)Σ(−1)^k J_2k / k and
//   Y_1 = −2J_0/(πz) + (2/π)(ln(z/2) + γ − 1)J_1 − (2/π)Σ(−1)^k (2k+1) J_2k+1 / (k(k+1));
//   for |z| ≥ 17 Hankel's asymptotic expansions of H^(1) and H^(2) (truncation error below
//   e^{−2|z|}).
// H^(1)_n: from H^(1)_0, H^(1)_1 by forward recurrence (the dominant direction for Im z ≥ 0);
//   where J_0 + iY_0 would cancel (Im z > 2, |z| < 17) they come from K_0, K_1 of −iz by
//   Steed's continued fraction. Y_n = −i·(H^(1)_n − J_n).
// Principal branches; accuracy ~1e-13 relative for Re z ≥ 0 (real arguments included). The
// lower half plane is reduced to the upper one by conjugate symmetry.
// All routines write into caller buffers and allocate nothing, so they run on devices too.

#include <cmath>

#include "core/host_device.h"
#include "core/microwave/complex.h"

namespace tesk::microwave {

/// Euler's constant γ.
inline constexpr double kEulerGamma = 0.57721566490153286061;

/// Below this modulus J_n, Y_0, Y_1 use the leading terms of their power series.
inline constexpr double kBesselTinyArgument = 1e-6;
/// Largest modulus accepted; beyond it (and for NaN) the routines return NaN rather than run
/// a recurrence of that length.
inline constexpr double kBesselMaxArgument = 1e6;
/// From this modulus on Y_0, Y_1 and H^(1)_0, H^(1)_1 use Hankel's asymptotic expansions.
inline constexpr double kBesselAsymptoticArgument = 17.0;

/// Starting order of Miller's recurrence for orders up to `n_max` at modulus `az`: far enough
/// past the turning point n ≈ |z| that J_start / J_n is below double precision.
TESK_HOST_DEVICE inline int bessel_miller_start(int n_max, double az) {
  const double base = n_max > az ? static_cast<double>(n_max) : az;
  return static_cast<int>(base + 20.0 + 12.0 * std::cbrt(az)) + 1;
}

/// Hankel functions H^(1)_ν, H^(2)_ν (ν = 0, 1) by their asymptotic expansions; |z| ≥ 17.
TESK_HOST_DEVICE inline void hankel_asymptotic_01(Complex z, Complex* h1, Complex* h2) {
  const Complex pref = sqrt(cplx(2.0 / kPi) / z);
  const Complex inv_z = 1.0 / z;
  for (int nu = 0; nu < 2; ++nu) {
    const double mu = 4.0 * nu * nu;
    // P + iQ = Σ i^k a_k / z^k and P − iQ = Σ (−i)^k a_k / z^k.
    Complex sum_p = cplx(1.0);
    Complex sum_m = cplx(1.0);
    Complex term = cplx(1.0);  // a_k / z^k
    double last = 1.0;
    for (int k = 1; k < 80; ++k) {
      const double odd = 2.0 * k - 1.0;
      term = term * inv_z * ((mu - odd * odd) / (8.0 * k));
      const double size = abs(term);
      if (size > last) break;  // the asymptotic series starts to diverge
      last = size;
      // i^k and (−i)^k
      Complex tp = term;
      Complex tm = term;
      switch (k & 3) {
        case 1:
          tp = times_i(term);
          tm = -times_i(term);
          break;
        case 2:
          tp = -term;
          tm = -term;
          break;
        case 3:
          tp = -times_i(term);
          tm = times_i(term);
          break;
        default:
          break;
      }
      sum_p += tp;
      sum_m += tm;
      if (size < 1e-18) break;
    }
    const Complex omega = z - (0.5 * nu * kPi + 0.25 * kPi);
    h1[nu] = pref * exp(times_i(omega)) * sum_p;
    h2[nu] = pref * exp(-times_i(omega)) * sum_m;
  }
}

/// J_0..J_{n_max}(z) into `j` (n_max ≥ 1), and Y_0(z), Y_1(z) into y01[0..1] when `y01` is
/// not null. z = 0 gives J_0 = 1, J_n = 0 and Y = −∞; |z| > 10⁶ or NaN gives NaN.
TESK_HOST_DEVICE inline void bessel_j_y01(Complex z, int n_max, Complex* j, Complex* y01) {
  const double az = abs(z);
  if (!(az <= kBesselMaxArgument)) {
    for (int n = 0; n <= n_max; ++n) j[n] = cplx(NAN, NAN);
    if (y01) y01[0] = y01[1] = cplx(NAN, NAN);
    return;
  }
  if (az == 0.0) {
    j[0] = cplx(1.0);
    for (int n = 1; n <= n_max; ++n) j[n] = cplx(0.0);
    if (y01) y01[0] = y01[1] = cplx(-INFINITY);
    return;
  }
  if (az < kBesselTinyArgument) {
    // J_n(z) = (z/2)^n / n! · (1 − (z/2)²/(n+1)) to relative order |z|^4.
    const Complex half = z * 0.5;
    const Complex half2 = half * half;
    Complex pw = cplx(1.0);
    double fact = 1.0;
    for (int n = 0; n <= n_max; ++n) {
      if (n > 0) {
        pw = pw * half;
        fact *= n;
      }
      j[n] = pw / fact * (1.0 - half2 / (n + 1.0));
    }
    if (y01) {
      const Complex lg = log(half) + kEulerGamma;
      y01[0] = (2.0 / kPi) * (lg * j[0] + half2);
      y01[1] = -(2.0 / kPi) / z + (1.0 / kPi) * z * (lg - 0.5);
    }
    return;
  }
  const bool neumann = y01 != nullptr && az < kBesselAsymptoticArgument;
  // Normalization phase: (−i)^k with e^{−iz} when Im z ≥ 0, i^k with e^{iz} otherwise.
  const bool upper = z.im >= 0.0;
  const int m = bessel_miller_start(n_max, az);
  const Complex two_over_z = 2.0 / z;
  Complex p_next = cplx(0.0);  // p_{k+1}
  Complex p = cplx(1e-30);     // p_k, starting at k = m
  Complex norm_sum = cplx(0.0);
  Complex sum0 = cplx(0.0);
  Complex sum1 = cplx(0.0);
  for (int k = m; k >= 1; --k) {
    if (k <= n_max) j[k] = p;
    // 2·(∓i)^k p_k
    Complex t = p * 2.0;
    switch (k & 3) {
      case 1:
        t = upper ? -times_i(t) : times_i(t);
        break;
      case 2:
        t = -t;
        break;
      case 3:
        t = upper ? times_i(t) : -times_i(t);
        break;
      default:
        break;
    }
    norm_sum += t;
    if (neumann) {
      if ((k & 1) == 0) {
        const int h = k / 2;
        const Complex v = p / static_cast<double>(h);
        if (h & 1) {
          sum0 -= v;
        } else {
          sum0 += v;
        }
      } else if (k >= 3) {
        const int h = (k - 1) / 2;
        const Complex v = p * ((2.0 * h + 1.0) / (static_cast<double>(h) * (h + 1.0)));
        if (h & 1) {
          sum1 -= v;
        } else {
          sum1 += v;
        }
      }
    }
    const Complex p_prev = two_over_z * static_cast<double>(k) * p - p_next;
    p_next = p;
    p = p_prev;
    if (abs(p) > 1e250) {
      const double s = 1e-250;
      p *= s;
      p_next *= s;
      norm_sum *= s;
      sum0 *= s;
      sum1 *= s;
      const int top = n_max < m ? n_max : m;
      for (int i = k; i <= top; ++i) j[i] *= s;
    }
  }
  norm_sum += p;  // the k = 0 term
  j[0] = p;
  const Complex phase = upper ? exp(-times_i(z)) : exp(times_i(z));
  const Complex scale = phase / norm_sum;
  for (int n = 0; n <= n_max; ++n) j[n] = j[n] * scale;
  if (!y01) return;
  if (neumann) {
    const Complex lg = log(z * 0.5) + kEulerGamma;
    y01[0] = (2.0 / kPi) * lg * j[0] - (4.0 / kPi) * sum0 * scale;
    y01[1] = -(2.0 / kPi) * j[0] / z + (2.0 / kPi) * (lg - 1.0) * j[1] - (2.0 / kPi) * sum1 * scale;
  } else {
    Complex h1[2];
    Complex h2[2];
    hankel_asymptotic_01(z, h1, h2);
    // Y = (H1 − H2) / (2i)
    y01[0] = -times_i(h1[0] - h2[0]) * 0.5;
    y01[1] = -times_i(h1[1] - h2[1]) * 0.5;
  }
}

/// K_0(w), K_1(w) for Re w > 0 by Steed's continued fraction (Temme's CF2), which converges
/// quickly for |w| ≥ 2 and keeps full relative accuracy however small K is.
TESK_HOST_DEVICE inline void bessel_k01_continued_fraction(Complex w, Complex* k0, Complex* k1) {
  Complex b = (w + 1.0) * 2.0;
  Complex d = 1.0 / b;
  Complex h = d;
  Complex delh = d;
  Complex q1 = cplx(0.0);
  Complex q2 = cplx(1.0);
  const double a1 = 0.25;
  Complex q = cplx(a1);
  double c = a1;
  double a = -a1;
  Complex s = 1.0 + q * delh;
  for (int i = 2; i < 100000; ++i) {
    a -= 2.0 * (i - 1);
    c = -a * c / i;
    const Complex qnew = (q1 - b * q2) / a;
    q1 = q2;
    q2 = qnew;
    q += qnew * c;
    b = b + 2.0;
    d = 1.0 / (b + d * a);
    delh = (b * d - 1.0) * delh;
    h += delh;
    const Complex dels = q * delh;
    s += dels;
    if (abs(dels) < 1e-17 * abs(s)) break;
  }
  h = h * a1;
  *k0 = sqrt(cplx(kPi * 0.5) / w) * exp(-w) / s;
  *k1 = *k0 * (w + 0.5 - h) / w;
}

/// J_n(z) and H^(1)_n(z) for n = 0..n_max (n_max ≥ 1), Im z ≥ 0. H^(1)_0, H^(1)_1 come from
/// the asymptotic expansion (|z| ≥ 17), from K_0, K_1 of −iz (Im z > 2, where J + iY would
/// cancel) or from J + i·Y (elsewhere); higher orders by forward recurrence, in which H^(1) is
/// the dominant solution.
TESK_HOST_DEVICE inline void bessel_jh_upper_(Complex z, int n_max, Complex* j, Complex* h) {
  const double az = abs(z);
  if (az >= kBesselAsymptoticArgument) {
    bessel_j_y01(z, n_max, j, nullptr);
    Complex h2[2];
    hankel_asymptotic_01(z, h, h2);
  } else if (z.im > 2.0) {
    bessel_j_y01(z, n_max, j, nullptr);
    Complex k0;
    Complex k1;
    bessel_k01_continued_fraction(-times_i(z), &k0, &k1);
    h[0] = -times_i(k0) * (2.0 / kPi);  // (2/(iπ))·K_0(−iz)
    h[1] = k1 * (-2.0 / kPi);           // (2/(iπ))·e^{−iπ/2}·K_1(−iz)
  } else {
    bessel_j_y01(z, n_max, j, h);
    h[0] = j[0] + times_i(h[0]);
    h[1] = j[1] + times_i(h[1]);
  }
  if (az == 0.0) {
    for (int n = 2; n <= n_max; ++n) h[n] = cplx(0.0, -INFINITY);
    return;
  }
  const Complex two_over_z = 2.0 / z;
  for (int n = 1; n < n_max; ++n) h[n + 1] = two_over_z * static_cast<double>(n) * h[n] - h[n - 1];
}

/// J_n(z) and Y_n(z) for n = 0..n_max (n_max ≥ 1) into `j` and `y`. In the upper half plane
/// Y_n = −i·(H^(1)_n − J_n), which stays accurate where Y's own forward recurrence would not
/// (large Im z); in the lower half plane by conjugate symmetry, Y_n(z) = conj(Y_n(conj z)).
TESK_HOST_DEVICE inline void bessel_jy(Complex z, int n_max, Complex* j, Complex* y) {
  const bool lower = z.im < 0.0;
  bessel_jh_upper_(lower ? conj(z) : z, n_max, j, y);
  for (int n = 0; n <= n_max; ++n) {
    y[n] = -times_i(y[n] - j[n]);
    if (lower) {
      j[n] = conj(j[n]);
      y[n] = conj(y[n]);
    }
  }
}

/// J_n(z) and H^(1)_n(z) = J_n + i·Y_n for n = 0..n_max (n_max ≥ 1) into `j` and `h`.
TESK_HOST_DEVICE inline void bessel_jh(Complex z, int n_max, Complex* j, Complex* h) {
  if (z.im >= 0.0) {
    bessel_jh_upper_(z, n_max, j, h);
    return;
  }
  bessel_jy(z, n_max, j, h);
  for (int n = 0; n <= n_max; ++n) h[n] = j[n] + times_i(h[n]);
}

/// Stores the pair (a, b) scaled so that its larger modulus is 1.
TESK_HOST_DEVICE inline void store_scaled_pair(Complex a, Complex b, Complex* s, Complex* sp) {
  const double m = std::fmax(abs(a), abs(b));
  *s = a / m;
  *sp = b / m;
}

/// Pairs (s_n, s'_n) proportional to (J_n(z), J'_n(z)) for n = 0..n_max, each pair scaled so
/// that its larger modulus is 1. The ratio J'_n/J_n is all that the cylinder boundary
/// conditions need; keeping it as a pair avoids overflow of J_n for strongly absorbing
/// arguments (|Im z| in the hundreds) and division by zero at zeros of J_n. z ≠ 0.
TESK_HOST_DEVICE inline void bessel_j_derivative_pairs(Complex z, int n_max, Complex* s,
                                                       Complex* sp) {
  const double az = abs(z);
  if (!(az <= kBesselMaxArgument)) {
    for (int n = 0; n <= n_max; ++n) s[n] = sp[n] = cplx(NAN, NAN);
    return;
  }
  if (az < kBesselTinyArgument) {
    // J'_n / J_n = n/z − z/(2(n+1)) to leading orders.
    store_scaled_pair(cplx(1.0), -(z * 0.5), s, sp);
    for (int n = 1; n <= n_max; ++n) {
      store_scaled_pair(cplx(1.0), static_cast<double>(n) / z - z / (2.0 * (n + 1.0)), s + n,
                        sp + n);
    }
    return;
  }
  const int m = bessel_miller_start(n_max, az);
  const Complex two_over_z = 2.0 / z;
  const Complex inv_z = 1.0 / z;
  Complex p_next = cplx(0.0);
  Complex p = cplx(1e-30);
  for (int k = m; k >= 1; --k) {
    const Complex p_prev = two_over_z * static_cast<double>(k) * p - p_next;
    if (k <= n_max)
      store_scaled_pair(p, p_prev - inv_z * static_cast<double>(k) * p, s + k, sp + k);
    p_next = p;
    p = p_prev;
    if (abs(p) > 1e250) {
      p *= 1e-250;
      p_next *= 1e-250;
    }
  }
  store_scaled_pair(p, -p_next, s, sp);
}

}  // namespace tesk::microwave
