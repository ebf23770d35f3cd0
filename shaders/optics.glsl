// Surface optics and skies read from the scene's material list and spectral buffer (bindings 6
// and 7 of every shader that includes this file): the CPU's scattering responses, samplers and
// sky models. set_optics() stores the run's band count, buffer size and sky offsets first.
layout(set = 0, binding = 6, scalar) readonly buffer Materials { DeviceMaterial materials[]; };
layout(set = 0, binding = 7, scalar) readonly buffer Spectral { float spectral[]; };

int g_n_bands;
int g_spectral_size;
int g_sky_uniform;
int g_sky_directional;
int g_sky_hw;
vec3 g_hw_sun;

void set_optics(int n_bands, int spectral_size, int sky_uniform, int sky_directional, int sky_hw,
                vec3 hw_sun) {
  g_n_bands = n_bands;
  g_spectral_size = spectral_size;
  g_sky_uniform = sky_uniform;
  g_sky_directional = sky_directional;
  g_sky_hw = sky_hw;
  g_hw_sun = hw_sun;
}

// Offset of `count` floats at `offset`, or -1 when the block does not fit in the buffer.
int spectral_block(int offset, int count) {
  if (offset < 0 || count < 0 || offset > g_spectral_size - count) return -1;
  return offset;
}

// ---- materials ------------------------------------------------------------------------------
float eval_scattering(DeviceMaterial mat, int b, vec3 wo, vec3 wi, bool back_face, bool thermal) {
  const int nb = g_n_bands;
  if (!(wo.z > 0.0) || b < 0 || b >= nb) return 0.0;
  if (mat.type == 0) {
    const int blk = spectral_block(mat.spectral_offset, nb);
    if (blk < 0 || !(wi.z > 0.0)) return 0.0;
    const float r = thermal ? 1.0 - spectral[blk + b] : spectral[blk + b];
    return r * kInvPi;
  }
  if (mat.type == 13) {
    const int blk = spectral_block(mat.spectral_offset, 3 * nb);
    if (blk < 0) return 0.0;
    if (wi.z > 0.0) return (back_face ? spectral[blk + nb + b] : spectral[blk + b]) * kInvPi;
    return spectral[blk + 2 * nb + b] * kInvPi;
  }
  if (mat.type == 1) {
    const int blk = spectral_block(mat.spectral_offset, 4 * nb);
    if (blk < 0 || !(wi.z > 0.0)) return 0.0;
    return rpv_response(wo, wi, spectral[blk + b], spectral[blk + nb + b],
                        spectral[blk + 2 * nb + b], spectral[blk + 3 * nb + b]);
  }
  return 0.0;
}

ScatterSample sample_scattering(DeviceMaterial mat, float u0, float u1, float u2) {
  if (mat.type == 0 || mat.type == 1) return sample_cosine_hemisphere(u0, u1);
  if (mat.type == 13) return sample_leaf(mat.scalar_params[0], mat.scalar_params[1], u0, u1, u2);
  return ScatterSample(vec3(0.0, 0.0, 1.0), 1.0);
}

// Band-averaged sampler of a two-sided leaf surface (other kinds sample as usual).
ScatterSample sample_scattering_banded(DeviceMaterial mat, bool back_face, float u0, float u1,
                                       float u2) {
  const int nb = g_n_bands;
  if (mat.type != 13) return sample_scattering(mat, u0, u1, u2);
  const int blk = spectral_block(mat.spectral_offset, 3 * nb);
  if (blk < 0) return ScatterSample(vec3(0.0, 0.0, 1.0), 0.0);
  const int refl = back_face ? blk + nb : blk;
  float rho = 0.0;
  float tau = 0.0;
  for (int b = 0; b < nb; ++b) {
    rho += spectral[refl + b];
    tau += spectral[blk + 2 * nb + b];
  }
  const float inv = 1.0 / float(nb);
  return sample_leaf(rho * inv, tau * inv, u0, u1, u2);
}

// ---- skies ----------------------------------------------------------------------------------
float directional_sky_radiance(int off, vec3 w, int b) {
  const int nb = g_n_bands;
  const int table = spectral_block(off, 512 * nb);
  if (table < 0 || !(w.z > 0.0) || !finite3(w) || b < 0 || b >= nb) return 0.0;
  const int t = table + 512 * b;
  const float theta = acos(min(max(w.z, 0.0), 1.0));
  const float f_theta = theta * 0.63661975 * 15.0;
  const int i = int(f_theta);
  int lo;
  int hi;
  float w_theta;
  if (i < 15) {
    lo = i < 0 ? 0 : i;
    hi = lo + 1;
    w_theta = f_theta - float(lo);
  } else {
    lo = 14;
    hi = 15;
    w_theta = f_theta - 14.0;
  }
  float phi = atan(w.x, -w.y);
  if (phi < 0.0) phi += 6.2831855;
  const float f_phi = phi * 5.092958;
  const float j = floor(f_phi);
  const float w_phi = f_phi - j;
  const int c0 = ((int(j) % 32) + 32) % 32;
  const int c1 = (c0 + 1) % 32;
  const float low = spectral[t + 32 * lo + c0] +
                    (spectral[t + 32 * lo + c1] - spectral[t + 32 * lo + c0]) * w_phi;
  const float high = spectral[t + 32 * hi + c0] +
                     (spectral[t + 32 * hi + c1] - spectral[t + 32 * hi + c0]) * w_phi;
  const float l = low + (high - low) * w_theta;
  return l > 0.0 ? l : 0.0;
}

float hw_sky_radiance(int off, vec3 sun, vec3 w, int b) {
  const int nb = g_n_bands;
  const int blk = spectral_block(off, 10 * nb);
  if (blk < 0 || b < 0 || b >= nb) return 0.0;
  float c[10];
  for (int k = 0; k < 10; ++k) c[k] = spectral[blk + 10 * b + k];
  if (!(c[9] > 0.0)) return 0.0;
  const float cos_theta = max(0.001, w.z);
  const float cos_gamma = min(max(dot(w, sun), -1.0), 1.0);
  const float gamma = acos(cos_gamma);
  const float l_rel = (1.0 + c[0] * exp(c[1] / cos_theta)) *
                      (c[7] * sqrt(cos_theta) + c[4] * cos_gamma * cos_gamma + 1.0 +
                       c[2] * exp(c[3] * gamma) + c[5] * exp(c[6] * gamma * gamma) + c[8]);
  const float cos_s = min(max(sun.z, 0.0), 1.0);
  const float theta_s = acos(cos_s);
  const float z = max(0.001, (c[2] * exp(c[3] * theta_s) + 1.0 + c[4] * cos_s * cos_s +
                              c[5] * exp(c[6] * theta_s * theta_s) + c[7] + c[8]) *
                                 (1.0 + c[0] * exp(c[1])));
  const float l = c[9] * l_rel / z;
  return l > 0.0 ? l : 0.0;
}

float sky_radiance(vec3 w, int b) {
  if (g_sky_directional >= 0) return directional_sky_radiance(g_sky_directional, w, b);
  if (g_sky_hw >= 0) {
    return hw_sky_radiance(g_sky_hw, g_hw_sun, w, b);
  }
  if (g_sky_uniform >= 0) {
    const int blk = spectral_block(g_sky_uniform, g_n_bands);
    return (blk >= 0 && b >= 0 && b < g_n_bands) ? spectral[blk + b] : 0.0;
  }
  return 0.0;
}

