"""Turbid leaf reverse ray tracing on the Vulkan device against the CPU tracer on the same scene
record, and against closed forms. Skipped where the module has no Vulkan or no device offers ray
queries; scenes are tiny because lavapipe runs the shaders on the CPU."""

import numpy as np
import pytest

import tesk_gpu

if not getattr(tesk_gpu, "HAS_VULKAN", False):
    pytest.skip("module built without the Vulkan loader and glslangValidator", allow_module_level=True)
if not any(d["compatible"] for d in tesk_gpu.list_vulkan_devices()):
    pytest.skip("no Vulkan device with acceleration structures and ray queries", allow_module_level=True)

TILE = 2.0
EXECUTION = {"backend": "vulkan", "workflow": "radiation_field_process",
             "executor": "vulkan.ray_query.turbid_leaf_rrt", "native": True}


@pytest.fixture(scope="module")
def context():
    return tesk_gpu.VulkanContext(0)


def box_mesh(lo, hi):
    v = np.array([[hi[0] if i & 1 else lo[0], hi[1] if i & 2 else lo[1], hi[2] if i & 4 else lo[2]]
                  for i in range(8)], np.float32)
    t = np.array([[0, 2, 1], [1, 2, 3], [4, 5, 6], [5, 7, 6], [0, 1, 4], [1, 5, 4],
                  [2, 6, 3], [3, 6, 7], [0, 4, 2], [2, 4, 6], [1, 3, 5], [3, 7, 5]], np.int32)
    return v, t


def medium_scene(context, lo, hi, lad, leaf_type, n_bands=1, ground=None, periodic=False):
    """A box of leaf medium (medium 0, instance 0); `ground` a Lambertian ground reflectance per
    band at z = 0 (instance 1). Periodic scenes tile TILE x TILE."""
    scene = tesk_gpu.VulkanSceneManager(context)
    scene.set_num_bands(n_bands)
    params = np.zeros(3 * n_bands, np.float32)
    if ground is not None:
        params = np.concatenate([params, np.asarray(ground, np.float32)])
    scene.upload_spectral_params(params)
    leaf_mat = scene.add_material(13, 0, [0.0, 0.0])
    v, t = box_mesh(lo, hi)
    scene.add_instance(scene.add_mesh(v, [], t, leaf_mat), 0, 0, 0)
    if ground is not None:
        ground_mat = scene.add_material(0, 3 * n_bands, [])
        g = tesk_gpu.make_ground_plane(TILE / 2, TILE / 2, ground_mat, TILE)
        scene.add_instance(scene.add_mesh(g["vertices"], g["normals"], g["indices"], ground_mat),
                           TILE / 2, TILE / 2, 0.0)
        scene.set_optical_turbid_media([lad], [leaf_type], [1], [0.0], [0, -1])
    else:
        scene.set_optical_turbid_media([lad], [leaf_type], [1], [0.0], [0])
    if periodic:
        scene.set_repetitive(1000, TILE, TILE)
    scene.build()
    return scene


def arguments(positions, normals, inside):
    """The sample arrays with every sample in medium 0 of instance 0 where `inside`."""
    positions = np.asarray(positions, np.float32).reshape(-1, 3)
    n = len(positions)
    inside = np.broadcast_to(np.asarray(inside, bool), (n,))
    normals = np.ascontiguousarray(np.broadcast_to(np.asarray(normals, np.float32), (n, 3)))
    ids = np.where(inside, 0, -1).astype(np.int32)
    offsets = np.concatenate([[0], np.cumsum(inside)]).astype(np.int32)
    active = np.zeros(int(inside.sum()), np.int32)
    return positions, normals, ids, ids, offsets, active, active


def both(scene, args, **kw):
    """(device result, CPU result on the device scene's own record)."""
    kw.setdefault("n_bands", 1)
    gpu = scene.run_turbid_leaf_rrt_gpu(*args, **kw)
    cpu = tesk_gpu.run_turbid_leaf_rrt_cpu(scene._scene_record(), *args, **kw)["payload"]
    return gpu, cpu


@pytest.mark.slow  # first use compiles the shader (minutes on a busy lavapipe)
def test_sunlit_probability_and_direct_sun_follow_beers_law(context):
    # Planophile leaves, sun 30 degrees off zenith: a sample at depth L along the sun is sunlit
    # with probability exp(-G(30) LAD L); the walk toward the sun draws no random numbers, so the
    # device gives the CPU's value.
    lad = 1.3
    scene = medium_scene(context, [0, 0, 0], [1, 1, 1], lad, 1)
    z = np.radians(30.0)
    s = np.array([np.sin(z), 0.0, np.cos(z)])
    pos = np.array([[0.2, 0.5, 0.3], [0.5, 0.3, 0.9], [0.8, 0.7, 0.1], [0.5, 0.5, 1.5]], np.float32)
    inside = [True, True, True, False]
    tilted = np.array([0.6, 0.0, 0.8], np.float32)
    gpu, cpu = both(scene, arguments(pos, tilted, inside), rays_per_sample=2, sun_irradiance=[2.0],
                    sun_dir_x=s[0], sun_dir_z=s[2])
    assert gpu["_execution"] == EXECUTION
    g = scene.optical_turbid_medium(0)["g_function"][30]
    start = pos + 2e-4 * tilted
    to_exit = np.minimum((1 - start[:, 0]) / s[0], (1 - start[:, 2]) / s[2])
    expected = np.where(inside, np.exp(-g * lad * to_exit), 1.0)
    np.testing.assert_allclose(gpu["p_sun"], expected, rtol=3e-5)
    np.testing.assert_allclose(gpu["p_sun"], cpu["p_sun"], rtol=3e-5)
    np.testing.assert_allclose(gpu["direct_irradiance_top"][0], 2.0 * tilted @ s, rtol=1e-5)
    np.testing.assert_array_equal(gpu["direct_irradiance_bottom"], 0.0)
    # Black leaves and no sky: the total is the direct sun times p_sun, the lower side dark.
    np.testing.assert_allclose(gpu["total_irradiance_top"][0], 2.0 * (tilted @ s) * expected, rtol=2e-4)
    np.testing.assert_array_equal(gpu["total_irradiance_bottom"], 0.0)
    assert gpu["rays"] > 0
    dense = medium_scene(context, [0, 0, 0], [1, 1, 1], 200.0, 0)
    out = dense.run_turbid_leaf_rrt_gpu(*arguments([0.5, 0.5, 0.5], [0, 0, 1], True), 1, rays_per_sample=1,
                                        sun_irradiance=[1.0])
    assert out["p_sun"][0] == 0.0


@pytest.mark.slow  # first use compiles the shader (minutes on a busy lavapipe)
@pytest.mark.parametrize("periodic", [False, True])
def test_scattering_leaves_over_a_ground_match_the_cpu(context, periodic):
    # Asymmetric erectophile leaves (front != back) over a reflecting ground, two bands, sun and
    # sky: per sample the device and CPU estimates differ by Monte Carlo noise only, so the mean
    # difference must vanish within the spread of the differences.
    scene = medium_scene(context, [0.3, 0.3, 0.2], [1.7, 1.7, 1.2], 1.8, 2, n_bands=2, ground=[0.3, 0.1],
                         periodic=periodic)
    rng = np.random.default_rng(11)
    n = 48
    pos = np.column_stack([rng.uniform(0.35, 1.65, (n, 2)), rng.uniform(0.25, 1.15, n)])
    normals = rng.normal(size=(n, 3))
    normals[:, 2] = np.abs(normals[:, 2]) + 0.3
    s = np.array([0.4, 0.2, 0.9])
    s /= np.linalg.norm(s)
    gpu, cpu = both(scene, arguments(pos, normals, True), n_bands=2, rays_per_sample=32, max_depth=12,
                    sun_irradiance=[1.5, 0.7], sky_diffuse_radiance=[0.2, 0.4], medium_reflectance=[0.45, 0.1],
                    medium_back_reflectance=[0.25, 0.05], medium_transmittance=[0.35, 0.05],
                    sun_dir_x=s[0], sun_dir_y=s[1], sun_dir_z=s[2], seed=3)
    np.testing.assert_allclose(gpu["p_sun"], cpu["p_sun"], rtol=1e-4, atol=1e-6)
    np.testing.assert_allclose(gpu["direct_irradiance_top"], cpu["direct_irradiance_top"], rtol=1e-5)
    for key in ("total_irradiance_top", "total_irradiance_bottom"):
        diff = gpu[key] - cpu[key]
        err = diff.std(axis=1, ddof=1) / np.sqrt(n)
        assert np.all(np.abs(diff.mean(axis=1)) <= 4 * err + 1e-5), key
        assert np.all(gpu[key].mean(axis=1) > 0.05)


@pytest.mark.slow  # first use compiles the shader (minutes on a busy lavapipe)
def test_isothermal_enclosure_gives_blackbody_irradiance(context):
    # Leaves and walls emit e B and reflect 1 - e inside an opaque box: the field is B whatever e,
    # so both faces receive pi B on the device as on the CPU.
    scene = tesk_gpu.VulkanSceneManager(context)
    scene.set_num_bands(1)
    scene.upload_spectral_params(np.zeros(3, np.float32))
    leaf_mat = scene.add_material(13, 0, [0.0, 0.0])
    wall_mat = scene.add_material(0, 0, [])
    v, t = box_mesh([0.2, 0.2, 0.2], [0.8, 0.8, 0.8])
    scene.add_instance(scene.add_mesh(v, [], t, leaf_mat), 0, 0, 0)
    v, t = box_mesh([0, 0, 0], [1, 1, 1])
    scene.add_instance(scene.add_mesh(v, [], t[:, ::-1].copy(), wall_mat), 0, 0, 0)
    scene.set_optical_turbid_media([3.0], [0], [1], [0.0], [0, -1])
    scene.build()
    b = 120.0
    eps = np.array([0.9, 0.6], np.float32)
    rays = 256
    out = scene.run_turbid_leaf_rrt_gpu(*arguments([[0.5, 0.5, 0.5], [0.3, 0.6, 0.4]], [0, 0, 1], True), 1,
                                        rays_per_sample=rays, max_depth=100, thermal_mode=True,
                                        instance_lw_radiance=eps * b, instance_emissivity=eps)
    for side in ("total_irradiance_top", "total_irradiance_bottom"):
        np.testing.assert_allclose(out[side], np.pi * b, rtol=4 * 0.65 / np.sqrt(rays))
    with pytest.raises(ValueError, match="^Vulkan thermal turbid leaf RRT requires per-instance longwave "
                                         "source and emissivity$"):
        scene.run_turbid_leaf_rrt_gpu(*arguments([0.5, 0.5, 0.5], [0, 0, 1], True), 1, thermal_mode=True,
                                      instance_emissivity=eps)


def test_checks_limits_and_empty_runs(context):
    scene = medium_scene(context, [0, 0, 0], [1, 1, 1], 1.0, 0)
    args = arguments([[0.5, 0.5, 0.5]], [0, 0, 1], True)
    with pytest.raises(ValueError, match=r"^positions must have shape \[n_leaf_samples, 3\]$"):
        scene.run_turbid_leaf_rrt_gpu(np.zeros((1, 2), np.float32), *args[1:], 1)
    with pytest.raises(ValueError, match=r"^active_medium_offsets must have shape \[n_leaf_samples \+ 1\]$"):
        scene.run_turbid_leaf_rrt_gpu(*args[:4], np.zeros(3, np.int32), *args[5:], 1)
    with pytest.raises(ValueError, match="^n_bands must be positive$"):
        scene.run_turbid_leaf_rrt_gpu(*args, 0)
    with pytest.raises(ValueError, match="^Vulkan turbid leaf RRT supports 1 to 32 bands$"):
        scene.run_turbid_leaf_rrt_gpu(*args, 33)
    with pytest.raises(IndexError):
        scene.run_turbid_leaf_rrt_gpu(*args[:2], np.array([5], np.int32), *args[3:], 1)
    empty = scene.run_turbid_leaf_rrt_gpu(*arguments(np.zeros((0, 3)), [0, 0, 1], True), 2)
    assert empty["total_irradiance_top"].shape == (2, 0) and empty["p_sun"].shape == (0,)
    assert empty["_execution"] == EXECUTION
    unbuilt = tesk_gpu.VulkanSceneManager(context)
    v, t = box_mesh([0, 0, 0], [1, 1, 1])
    unbuilt.add_instance(unbuilt.add_mesh(v, [], t, 0), 0, 0, 0)
    with pytest.raises(RuntimeError, match="^Vulkan: build the scene before tracing rays$"):
        unbuilt.run_turbid_leaf_rrt_gpu(*arguments([[0.5, 0.5, 0.5]], [0, 0, 1], False), 1)


@pytest.mark.slow  # first use compiles the shader (minutes on a busy lavapipe)
def test_radiation_field_process_matches_the_cpu_state(context):
    # The process over a resident domain: the direct part depends only on the sunlit probability
    # (no random numbers), so it agrees to rounding; the diffuse part within Monte Carlo error.
    from test_turbid_radiation import cube_domain, radiation_request
    scene = medium_scene(context, [0, 0, 0], [1, 1, 1], 2.0, 0, n_bands=2)
    record = scene._scene_record()
    domain = cube_domain(record, 2.0, budget=128)
    s = np.radians(35.0)
    q = radiation_request(wavelengths=(550.0, 650.0), direct=(1.0, 0.5), sky=(0.2, 0.1), rho=0.2, tau=0.1,
                          sun_direction=[np.sin(s), 0.0, np.cos(s)], rays_per_sample=8)
    cpu = tesk_gpu._execute_turbid_radiation_field_embree(record, domain, q)
    gpu = tesk_gpu._execute_turbid_radiation_field_vulkan(scene, domain, q)
    assert (gpu["backend"], gpu["workflow"], gpu["executor"]) == (
        "vulkan", "turbid_radiation_field", "vulkan.slang.turbid_radiation")
    assert gpu["stage"] == cpu["stage"] and gpu["domain_id"] == domain and gpu["state_id"] != cpu["state_id"]
    assert (gpu["sample_count"], gpu["band_count"]) == (cpu["sample_count"], 2)
    fields = ["absorbed_sw_direct", "absorbed_sw_top", "apar"]

    def aggregate(token):
        (c,) = tesk_gpu._aggregate_turbid_state_embree(record, token, fields)["components"]
        return c

    c, d = aggregate(cpu), aggregate(gpu)
    assert d["p_sun"] == pytest.approx(c["p_sun"], rel=1e-4)
    assert d["fields"]["absorbed_sw_direct"]["mean"] == pytest.approx(c["fields"]["absorbed_sw_direct"]["mean"],
                                                                      rel=1e-4)
    for name in ("absorbed_sw_top", "apar"):
        m = c["fields"][name]
        assert d["fields"][name]["mean"] == pytest.approx(m["mean"], abs=4 * np.sqrt(m["variance"] / 128))
    with pytest.raises(RuntimeError, match="^Stale TurbidDomain handle"):
        tesk_gpu._execute_turbid_radiation_field_vulkan(scene, domain + 1000, q)


@pytest.mark.slow  # first use compiles the physiology shader
def test_static_physiology_process_equals_the_cpu(context):
    # The same radiation state solved by the device leaf model (the CPU's equations in the shader):
    # every sample's sunlit and shaded records agree to single-precision rounding.
    from test_turbid_physiology import samples, sp_request
    from test_turbid_radiation import cube_domain, radiation_request
    scene = medium_scene(context, [0, 0, 0], [1, 1, 1], 2.0, 0, n_bands=2)
    record = scene._scene_record()
    domain = cube_domain(record, 2.0, budget=48)
    rad = tesk_gpu._execute_turbid_radiation_field_embree(
        record, domain, radiation_request(wavelengths=(450.0, 650.0), direct=(300.0, 250.0), sky=(10.0, 8.0),
                                          rho=0.1, tau=0.05))
    cpu = tesk_gpu._execute_turbid_static_physiology_embree(record, domain, sp_request(rad))
    gpu = tesk_gpu._execute_turbid_static_physiology_vulkan(scene, domain, sp_request(rad))
    assert (gpu["backend"], gpu["workflow"], gpu["executor"]) == (
        "vulkan", "turbid_static_physiology", "vulkan.slang.turbid_static_physiology")
    assert (gpu["stage"], gpu["sample_count"], gpu["converged_samples"]) == (
        cpu["stage"], cpu["sample_count"], cpu["converged_samples"])
    fields = ("apar", "An", "gs", "Ci", "Phi_f")
    c, d = samples(record, domain, cpu, fields), samples(record, domain, gpu, fields)
    for branch in ("sunlit", "shaded"):
        for name in fields:
            a = np.array([s[branch][name] for s in c])
            b = np.array([s[branch][name] for s in d])
            np.testing.assert_allclose(b, a, rtol=2e-4, atol=1e-5, err_msg=f"{branch} {name}")
        assert np.ptp([s[branch]["An"] for s in c]) > 0.5  # the records differ: a real comparison
    with pytest.raises(ValueError, match="^StaticPhysiology requires a compatible radiation-state token$"):
        tesk_gpu._execute_turbid_static_physiology_vulkan(scene, domain, sp_request(dict(rad, domain_id=domain + 1)))


@pytest.mark.slow  # first use compiles the shader (minutes on a busy lavapipe)
def test_energy_balance_process_converges_to_the_cpu_fixed_point(context):
    # The same iteration, streams and Newton solves with the thermal leaf transport on the device:
    # the leaf temperatures reach the CPU's fixed point.
    from test_turbid_radiation import cube_domain, eb_request, radiation_request, sample_records
    scene = medium_scene(context, [0, 0, 0], [1, 1, 1], 2.0, 0, n_bands=2)
    record = scene._scene_record()
    domain = cube_domain(record, 2.0, budget=32)
    rad = tesk_gpu._execute_turbid_radiation_field_embree(
        record, domain, radiation_request(wavelengths=(550.0, 650.0), direct=(400.0, 300.0), sky=(20.0, 10.0),
                                          rho=0.1, tau=0.05))
    q = eb_request(rad, t_air=295.0, h=8.0, sky=300.0)
    cpu = tesk_gpu._execute_turbid_energy_balance_embree(record, domain, q)
    gpu = tesk_gpu._execute_turbid_energy_balance_vulkan(scene, domain, q)
    assert (gpu["backend"], gpu["workflow"], gpu["executor"]) == (
        "vulkan", "turbid_energy_balance", "vulkan.slang.turbid_energy_balance")
    assert gpu["converged"] and cpu["converged"] and gpu["stage"] == cpu["stage"]
    c, d = sample_records(record, domain, cpu), sample_records(record, domain, gpu)
    for branch in ("sunlit", "shaded"):
        tc = np.array([s[branch]["temperature"] for s in c])
        td = np.array([s[branch]["temperature"] for s in d])
        np.testing.assert_allclose(td, tc, atol=0.1)
    # Sunlit leaves run warmer than shaded ones and than the air: the comparison sees the physics.
    assert np.mean([s["sunlit"]["temperature"] - s["shaded"]["temperature"] for s in c]) > 0.5
    with pytest.raises(RuntimeError, match="^Stale TurbidState token"):
        tesk_gpu._execute_turbid_energy_balance_vulkan(scene, domain, eb_request(dict(rad, domain_id=domain + 1)))
