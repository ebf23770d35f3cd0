"""Microwave evaluators: messages, shapes, Fresnel closed forms, the soil-model edge cases, the
passive roughness model and the trunk-over-ground contract (reciprocity, depolarization,
roughness). Bessel functions, dielectric models and the cylinder series: tests/cpp."""

import math
import pathlib

import numpy as np
import pytest

import tesk_gpu

L_BAND = 1.4e9
C_LIGHT = 2.998e8
SOIL_MESSAGE = "soil parameters must be a 1D array with 12 values"
TRUNK_MESSAGE = "trunk parameters must be a 1D array with 7 values"
COSINES_MESSAGE = "cosines must be a 1D array"
DIRECTIONS_MESSAGE = "direction and normal arrays must all have shape (N, 3)"

# Hallikainen et al. (1985), 1.4 GHz: a0 a1 a2 b0 b1 b2 c0 c1 c2 of eps' and eps''.
HALLIKAINEN_14_REAL = [2.862, -0.012, 0.001, 3.803, 0.462, -0.341, 119.006, -0.500, 0.633]
HALLIKAINEN_14_IMAG = [0.356, -0.003, -0.008, 5.507, 0.044, -0.002, 17.753, -0.313, 0.206]


def soil(model=0, sand=0.4, clay=0.2, mv=0.25, hr=0.2, nv=1.0, nh=1.0, q=0.1, t_surf=295.0,
         t_deep=290.0, s=0.01):
    return np.array([sand, clay, mv, hr, nv, nh, q, t_surf, t_deep, model, s, 0.0], np.float32)


def trunk(radius=0.2, length=10.0, moisture=0.5, temperature=290.0, axis=(0.0, 0.0, 1.0)):
    return np.array([radius, length, moisture, temperature, *axis], np.float32)


def fresnel(eps, mu):
    """Reference smooth-surface reflectivities (Gamma_H, Gamma_V)."""
    mu = np.asarray(mu, np.complex128)
    w = np.sqrt(eps - (1 - mu * mu))
    return np.abs((mu - w) / (mu + w)) ** 2, np.abs((eps * mu - w) / (eps * mu + w)) ** 2


def unit(v):
    v = np.asarray(v, np.float64)
    return v / np.linalg.norm(v, axis=-1, keepdims=True)


# ---- registration and argument checks ------------------------------------------------------------

def test_evaluators_are_registered_in_order_after_the_version():
    names = list(vars(tesk_gpu))
    order = ["__version__", "_evaluate_microwave_soil", "_evaluate_microwave_soil_reflectivity",
             "_evaluate_microwave_trunk_ground", "_evaluate_microwave_trunk"]
    positions = [names.index(n) for n in order]
    assert positions == sorted(positions)
    assert positions[-1] - positions[1] == 3


def raises(message, evaluate, *args):
    with pytest.raises(RuntimeError) as err:
        evaluate(*args)
    assert str(err.value) == message


def test_argument_checks_and_messages():
    up = [[0.0, 0.0, 1.0]]
    for bad in (np.zeros(11, np.float32), np.zeros((1, 12), np.float32), np.float32(1.0)):
        raises(SOIL_MESSAGE, tesk_gpu._evaluate_microwave_soil, L_BAND, bad, [1.0])
        raises(SOIL_MESSAGE, tesk_gpu._evaluate_microwave_soil, L_BAND, bad, [1.0], True)
        raises(SOIL_MESSAGE, tesk_gpu._evaluate_microwave_soil_reflectivity, L_BAND, bad, [1.0])
        raises(SOIL_MESSAGE, tesk_gpu._evaluate_microwave_trunk_ground, L_BAND, bad, trunk(), up, up, up)
    # The trunk vector must have exactly 7 values (a longer soil vector is accepted, see below).
    for bad in (np.zeros(6, np.float32), np.zeros(8, np.float32), np.zeros((1, 7), np.float32)):
        raises(TRUNK_MESSAGE, tesk_gpu._evaluate_microwave_trunk, L_BAND, bad, [1.0])
        raises(TRUNK_MESSAGE, tesk_gpu._evaluate_microwave_trunk_ground, L_BAND, soil(), bad, up, up, up)
    for bad in (np.ones((2, 2)), np.float32(0.5)):
        raises(COSINES_MESSAGE, tesk_gpu._evaluate_microwave_soil, L_BAND, soil(), bad)
        raises(COSINES_MESSAGE, tesk_gpu._evaluate_microwave_soil_reflectivity, L_BAND, soil(), bad)
        raises(COSINES_MESSAGE, tesk_gpu._evaluate_microwave_trunk, L_BAND, trunk(), bad)
    for shapes in (((2, 3), (2, 3), (3, 3)), ((2, 3), (1, 3), (2, 3)), ((2, 2), (2, 2), (2, 2)),
                   ((6,), (2, 3), (2, 3)), ((2, 3, 1), (2, 3), (2, 3))):
        arrays = [np.full(s, 0.5, np.float32) for s in shapes]
        raises(DIRECTIONS_MESSAGE, tesk_gpu._evaluate_microwave_trunk_ground, L_BAND, soil(), trunk(), *arrays)
    with pytest.raises(TypeError):
        tesk_gpu._evaluate_microwave_soil("1.4 GHz", soil(), [1.0])
    with pytest.raises(TypeError):
        tesk_gpu._evaluate_microwave_soil(L_BAND, soil(), ["a", "b"])


def test_result_shapes_and_conversions():
    cos = np.linspace(0.05, 1.0, 7)  # float64: cast
    for active in (False, True):
        out = tesk_gpu._evaluate_microwave_soil(L_BAND, soil().astype(np.float64).tolist(), cos, active)
        assert out.dtype == np.float32 and out.shape == (7, 4)
    # A longer soil vector is read up to index 11; non-contiguous input is accepted.
    long_soil = np.concatenate([soil(), [123.0]])
    strided = np.repeat(cos, 2)[::2]
    assert np.array_equal(tesk_gpu._evaluate_microwave_soil(L_BAND, long_soil, strided),
                          tesk_gpu._evaluate_microwave_soil(L_BAND, soil(), cos))
    assert tesk_gpu._evaluate_microwave_soil_reflectivity(L_BAND, soil(), cos).shape == (7, 2)
    assert tesk_gpu._evaluate_microwave_trunk(L_BAND, trunk(), cos).shape == (7, 4)
    assert tesk_gpu._evaluate_microwave_soil(L_BAND, soil(), np.zeros(0)).shape == (0, 4)
    empty = np.zeros((0, 3), np.float32)
    assert tesk_gpu._evaluate_microwave_trunk_ground(L_BAND, soil(), trunk(), empty, empty, empty).shape == (0, 12)


# ---- Fresnel closed forms ------------------------------------------------------------------------

def test_dry_trunk_reflects_like_a_real_dielectric_of_permittivity_one_and_a_half():
    # Dry wood is dry matter alone, eps = 1.5: Fresnel in closed form, T_B = (1 - Gamma)·T.
    mu = np.cos(np.radians(np.arange(0.0, 89.0, 1.0)))
    t = 283.0
    out = tesk_gpu._evaluate_microwave_trunk(L_BAND, trunk(moisture=0.0, temperature=t), mu)
    gh, gv = fresnel(1.5, mu)
    np.testing.assert_allclose(out[:, 2], gh, rtol=2e-6, atol=1e-7)
    np.testing.assert_allclose(out[:, 3], gv, rtol=2e-6, atol=1e-7)
    np.testing.assert_allclose(out[:, 0], (1 - out[:, 2]) * t, rtol=1e-6)
    np.testing.assert_allclose(out[:, 1], (1 - out[:, 3]) * t, rtol=1e-6)


def test_cosines_are_read_as_their_magnitude_and_at_least_one_thousandth():
    for call in (lambda c: tesk_gpu._evaluate_microwave_soil(L_BAND, soil(), c),
                 lambda c: tesk_gpu._evaluate_microwave_soil(L_BAND, soil(2), c, True),
                 lambda c: tesk_gpu._evaluate_microwave_soil_reflectivity(L_BAND, soil(), c),
                 lambda c: tesk_gpu._evaluate_microwave_trunk(L_BAND, trunk(), c)):
        out = call([0.0, 0.001, -0.5, 0.5, -0.0004])
        # 0.001 itself arrives as the float32 next to it, hence the tolerance.
        np.testing.assert_allclose(out[0], out[1], rtol=1e-5)
        np.testing.assert_array_equal(out[2], out[3])
        np.testing.assert_array_equal(out[4], out[0])


# ---- dielectric models through the evaluators ---------------------------------------------------

def hallikainen_14(sand, clay, mv):
    def poly(c):
        return sum((c[3 * i] + c[3 * i + 1] * 100 * sand + c[3 * i + 2] * 100 * clay) * mv ** i for i in range(3))
    return complex(poly(HALLIKAINEN_14_REAL), max(poly(HALLIKAINEN_14_IMAG), 0.0))


@pytest.mark.parametrize("sand,clay,mv", [(0.4, 0.2, 0.25), (0.7, 0.1, 0.1), (0.2, 0.4, 0.35)])
def test_hallikainen_row_at_and_below_one_point_four_gigahertz(sand, clay, mv):
    mu = np.cos(np.radians([0.0, 20.0, 40.0, 55.0, 70.0]))
    eps = hallikainen_14(sand, clay, mv)
    gh, gv = fresnel(eps, mu)
    p = soil(2, sand=sand, clay=clay, mv=mv)
    for f in (L_BAND, 1.0e9, 0.3e9):
        out = tesk_gpu._evaluate_microwave_soil_reflectivity(f, p, mu, allow_hallikainen=True)
        np.testing.assert_allclose(out[:, 0], gh, rtol=1e-5)
        np.testing.assert_allclose(out[:, 1], gv, rtol=1e-5)
    # Without allow_hallikainen model 2 is read as Dobson (any model other than 0 and 2).
    np.testing.assert_array_equal(
        tesk_gpu._evaluate_microwave_soil_reflectivity(L_BAND, p, mu),
        tesk_gpu._evaluate_microwave_soil_reflectivity(L_BAND, soil(7, sand=sand, clay=clay, mv=mv), mu))
    assert not np.allclose(tesk_gpu._evaluate_microwave_soil_reflectivity(L_BAND, p, mu),
                           tesk_gpu._evaluate_microwave_soil_reflectivity(L_BAND, p, mu, True))


def test_model_index_is_a_truncated_float():
    mu = [0.9, 0.4]
    ref = lambda m: tesk_gpu._evaluate_microwave_soil_reflectivity(L_BAND, soil(m), mu, True)  # noqa: E731
    np.testing.assert_array_equal(ref(0.9), ref(0.0))
    np.testing.assert_array_equal(ref(2.7), ref(2.0))
    np.testing.assert_array_equal(ref(-0.5), ref(0.0))
    for dobson in (float("nan"), -2.0, 1e30):
        np.testing.assert_array_equal(ref(dobson), ref(1.0))
    assert not np.array_equal(ref(0.0), ref(1.0))


# ---- passive and active soil ----------------------------------------------------------------------

def test_passive_roughness_and_polarization_mixing():
    mu = np.cos(np.radians([0.0, 30.0, 50.0, 65.0]))
    for model in (0, 1):
        p = soil(model, hr=0.3, nv=2.0, nh=0.5, q=0.2, t_surf=293.0, t_deep=293.0)
        out = tesk_gpu._evaluate_microwave_soil(L_BAND, p, mu)
        smooth = tesk_gpu._evaluate_microwave_soil_reflectivity(L_BAND, p, mu)
        gh = (0.8 * smooth[:, 0] + 0.2 * smooth[:, 1]) * np.exp(-0.3 * mu ** 0.5)
        gv = (0.8 * smooth[:, 1] + 0.2 * smooth[:, 0]) * np.exp(-0.3 * mu ** 2.0)
        np.testing.assert_allclose(out[:, 2], gh, rtol=1e-5)
        np.testing.assert_allclose(out[:, 3], gv, rtol=1e-5)
    # The roughness term uses mu' = max(mu, 0.01); the result is clamped to [0, 1].
    p = soil(0, hr=1.0, nv=1.0, nh=1.0, q=0.0, t_surf=293.0, t_deep=293.0)
    grazing = tesk_gpu._evaluate_microwave_soil(L_BAND, p, [0.0])
    smooth = tesk_gpu._evaluate_microwave_soil_reflectivity(L_BAND, p, [0.0])
    np.testing.assert_allclose(grazing[0, 2:], smooth[0] * math.exp(-0.01), rtol=1e-5)
    clamped = tesk_gpu._evaluate_microwave_soil(L_BAND, soil(0, hr=-20.0), [0.5])
    np.testing.assert_array_equal(clamped[0], [0.0, 0.0, 1.0, 1.0])


def test_effective_temperature_between_deep_and_surface():
    # T_eff = T_deep + (T_surf - T_deep)·min((m_v/0.3)^0.3, 1): surface when wet, deep when dry.
    for mv, t_eff in ((0.45, 301.0), (0.0, 280.0), (0.15, 280.0 + 21.0 * 0.5 ** 0.3)):
        out = tesk_gpu._evaluate_microwave_soil(L_BAND, soil(0, mv=mv, t_surf=301.0, t_deep=280.0), [1.0, 0.6])
        np.testing.assert_allclose(out[:, 0] / (1 - out[:, 2]), t_eff, rtol=1e-5)
        np.testing.assert_allclose(out[:, 1] / (1 - out[:, 3]), t_eff, rtol=1e-5)


def test_active_very_smooth_soil_and_hallikainen():
    mu = np.cos(np.radians([10.0, 30.0, 50.0]))
    a = tesk_gpu._evaluate_microwave_soil(1.0e9, soil(2, s=0.0), mu, active=True)
    # s -> 0 is read as ks = 0.1.
    s_limit = 0.1 / (2 * math.pi * 1.0e9 / C_LIGHT)
    at_limit = tesk_gpu._evaluate_microwave_soil(1.0e9, soil(2, s=s_limit), mu, active=True)
    np.testing.assert_allclose(a, at_limit, rtol=1e-5)
    # Model 2 is Hallikainen in the active evaluation, so it differs from Dobson.
    assert not np.allclose(a, tesk_gpu._evaluate_microwave_soil(1.0e9, soil(1, s=0.0), mu, active=True))


def test_active_backscatter_polarization_ratios():
    mu = np.cos(np.radians(np.arange(5.0, 70.0, 5.0)))
    out = tesk_gpu._evaluate_microwave_soil(5.3e9, soil(0, s=0.015), mu, active=True)
    assert np.all(out >= 0)
    np.testing.assert_array_equal(out[:, 1], out[:, 2])
    assert np.all(out[:, 0] <= out[:, 3])
    # Backscatter falls with incidence angle.
    assert np.all(np.diff(out[:, 3]) < 0)


# ---- trunk over ground ---------------------------------------------------------------------------

def test_trunk_ground_is_reciprocal_for_any_geometry(np_rng):
    n = 64
    dt = unit(np.column_stack([np_rng.normal(size=n), np_rng.normal(size=n), -np_rng.uniform(0.2, 1.0, n)]))
    dg = unit(dt + np_rng.normal(scale=0.05, size=(n, 3)))
    normals = unit(np.column_stack([np_rng.normal(scale=0.1, size=(n, 2)), np.ones(n)]))
    for axis in ((0, 0, 1), (0.2, -0.1, 1.0)):
        out = tesk_gpu._evaluate_microwave_trunk_ground(
            L_BAND, soil(0), trunk(axis=axis), dt.astype(np.float32), dg.astype(np.float32), normals)
        assert out.shape == (n, 12) and np.all(np.isfinite(out))
        np.testing.assert_allclose(out[:, 1], out[:, 2], rtol=1e-4, atol=1e-7 * out[:, 0].max())
        np.testing.assert_allclose(out[:, 5], out[:, 6], rtol=1e-4, atol=1e-7 * out[:, 4].max())
        assert np.all(out[:, 8:10] > 0)
        assert np.all((out[:, 10:] >= 0) & (out[:, 10:] <= 1))


def test_vertical_trunk_on_flat_ground():
    theta = np.radians([120.0, 140.0, 160.0])
    d = np.column_stack([np.sin(theta), np.zeros(3), np.cos(theta)])
    up = np.tile([0.0, 0.0, 1.0], (3, 1))
    out = tesk_gpu._evaluate_microwave_trunk_ground(L_BAND, soil(0, s=0.0), trunk(), d, d, up)
    # No depolarization; the specular double bounce dominates the direct return.
    assert np.all(out[:, 5] <= 1e-9 * out[:, 4])
    assert np.all(out[:, 1] <= 1e-9 * out[:, 0] + 1e-30)
    assert np.all(out[:, 4] > 100 * out[:, 0])
    # The coherent ground reflectivity is the Fresnel reflectivity of the smooth soil.
    smooth = tesk_gpu._evaluate_microwave_soil_reflectivity(L_BAND, soil(0, s=0.0), -d[:, 2])
    np.testing.assert_allclose(out[:, 10:], smooth, rtol=1e-5)
    # Roughness attenuates the double bounce by exp(-4 k^2 s^2 mu^2) and leaves the trunk alone.
    s = 0.02
    rough = tesk_gpu._evaluate_microwave_trunk_ground(L_BAND, soil(0, s=s), trunk(), d, d, up)
    k = 2 * math.pi * L_BAND / C_LIGHT
    factor = np.exp(-4 * k * k * s * s * d[:, 2] ** 2)
    np.testing.assert_allclose(rough[:, 4] / out[:, 4], factor, rtol=1e-4)
    np.testing.assert_allclose(rough[:, 7] / out[:, 7], factor, rtol=1e-4)
    np.testing.assert_array_equal(rough[:, :4], out[:, :4])
    # The ground normal may point either way.
    np.testing.assert_array_equal(
        tesk_gpu._evaluate_microwave_trunk_ground(L_BAND, soil(0, s=0.0), trunk(), d, d, -up), out)


def test_unusable_rows_are_nan():
    d = np.array([[0.6, 0.0, -0.8], [0.0, 0.0, 0.0], [np.nan, 0.0, -1.0]], np.float32)
    up = np.tile(np.float32([0, 0, 1]), (3, 1))
    out = tesk_gpu._evaluate_microwave_trunk_ground(L_BAND, soil(), trunk(), d, d, up)
    assert np.all(np.isfinite(out[0])) and np.all(np.isnan(out[1:]))
    # A trunk without a usable axis or size, one beyond the series model (k*a > 1e4), or a
    # non-positive frequency: rows of NaN.
    for bad in (trunk(axis=(0, 0, 0)), trunk(radius=0.0), trunk(length=-1.0), trunk(radius=1e9)):
        assert np.all(np.isnan(tesk_gpu._evaluate_microwave_trunk_ground(L_BAND, soil(), bad, d, d, up)))
    assert np.all(np.isnan(tesk_gpu._evaluate_microwave_trunk_ground(-1.0, soil(), trunk(), d, d, up)))


# ---- Bessel reference -----------------------------------------------------------------------------

def test_bessel_reference_table_is_scipys():
    """The C++ Bessel tests compare against tests/data/microwave_bessel_reference.txt; check that
    the table holds SciPy's values."""
    special = pytest.importorskip("scipy.special")
    path = pathlib.Path(__file__).resolve().parent.parent / "data" / "microwave_bessel_reference.txt"
    rows = [line.split() for line in path.read_text().splitlines() if line and not line.startswith("#")]
    assert len(rows) > 300
    n = np.array([int(r[1]) for r in rows])
    v = np.array([[float(x) for x in r[2:]] for r in rows])
    z = v[:, 0] + 1j * v[:, 1]
    for col, fn in ((2, special.jv), (4, special.yv), (6, special.hankel1)):
        np.testing.assert_allclose(v[:, col] + 1j * v[:, col + 1], fn(n, z), rtol=1e-14)
