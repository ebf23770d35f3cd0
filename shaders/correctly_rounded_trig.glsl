// Single-precision acos and atan2 rounded from double-precision evaluations, for shaders that
// must bin angles as the host's C library does: GLSL's own acos and atan carry errors of about
// 1e-4 on some drivers (lavapipe), enough to move a normal across a bin boundary. The double
// arctangent is fdlibm's (argument reduction to four breakpoints and an odd polynomial, error
// below one double ulp); rounding it to float gives the correctly rounded single result except
// within 1e-16 of a rounding boundary.
#ifndef TESK_CORRECTLY_ROUNDED_TRIG_GLSL
#define TESK_CORRECTLY_ROUNDED_TRIG_GLSL

const double kAtanHi[4] = double[4](4.63647609000806093515e-01LF, 7.85398163397448278999e-01LF,
                                    9.82793723247329054082e-01LF, 1.57079632679489655800e+00LF);
const double kAtanLo[4] = double[4](2.26987774529616870924e-17LF, 3.06161699786838301793e-17LF,
                                    1.39033110312309984516e-17LF, 6.12323399573676603587e-17LF);
const double kAtanT[11] = double[11](
    3.33333333333329318027e-01LF, -1.99999999998764832476e-01LF, 1.42857142725034663711e-01LF,
    -1.11111104054623557880e-01LF, 9.09088713343650656196e-02LF, -7.69187620504482999495e-02LF,
    6.66107313738753120669e-02LF, -5.83357013379057348645e-02LF, 4.97687799461593236017e-02LF,
    -3.65315727442169155270e-02LF, 1.62858201153657823623e-02LF);
const double kPiDouble = 3.14159265358979311600e+00LF;

// Arctangent in double precision of a finite x.
double atan_double(double x) {
  const double ax = abs(x);
  if (ax >= 7.378697629483821e19LF) return sign(x) * (kAtanHi[3] + kAtanLo[3]);  // 2^66
  int id = -1;
  double t = x;
  if (ax >= 0.4375LF) {
    if (ax < 1.1875LF) {
      if (ax < 0.6875LF) {
        id = 0;
        t = (2.0LF * ax - 1.0LF) / (2.0LF + ax);
      } else {
        id = 1;
        t = (ax - 1.0LF) / (ax + 1.0LF);
      }
    } else if (ax < 2.4375LF) {
      id = 2;
      t = (ax - 1.5LF) / (1.0LF + 1.5LF * ax);
    } else {
      id = 3;
      t = -1.0LF / ax;
    }
  } else if (ax < 1.862645149230957e-09LF) {  // 2^-29
    return x;
  }
  precise const double z = t * t;
  precise const double w = z * z;
  precise const double s1 =
      z * (kAtanT[0] +
           w * (kAtanT[2] + w * (kAtanT[4] + w * (kAtanT[6] + w * (kAtanT[8] + w * kAtanT[10])))));
  precise const double s2 =
      w * (kAtanT[1] + w * (kAtanT[3] + w * (kAtanT[5] + w * (kAtanT[7] + w * kAtanT[9]))));
  if (id < 0) return t - t * (s1 + s2);
  precise const double r = kAtanHi[id] - ((t * (s1 + s2) - kAtanLo[id]) - t);
  return x < 0.0LF ? -r : r;
}

// atan2(y, x) in single precision, rounded from double; (0, 0) gives 0.
float atan2_rounded(float y, float x) {
  const double yd = double(y), xd = double(x);
  if (xd == 0.0LF) return yd > 0.0LF ? float(kPiDouble / 2.0LF) : (yd < 0.0LF ? -float(kPiDouble / 2.0LF) : 0.0);
  const double a = atan_double(yd / xd);
  if (xd > 0.0LF) return float(a);
  return float(yd < 0.0LF ? a - kPiDouble : a + kPiDouble);
}

// acos(z) for z in [-1, 1] in single precision, rounded from double: atan2(sqrt(1 - z^2), z).
float acos_rounded(float z) {
  const double zd = double(z);
  const double s = sqrt((1.0LF - zd) * (1.0LF + zd));
  if (zd == 0.0LF) return float(kPiDouble / 2.0LF);
  const double a = atan_double(s / zd);
  return float(zd > 0.0LF ? a : a + kPiDouble);
}

#endif  // TESK_CORRECTLY_ROUNDED_TRIG_GLSL
