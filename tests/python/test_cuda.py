"""The CUDA backend's Python names: messages without a device, and parity of device batches with
the CPU scene manager where a device is present (those tests skip elsewhere, saying why)."""

import numpy as np
import pytest

import tesk_gpu
from test_physiology import grid_request
from test_processes import dynamic_request, energy_request, square_mesh, static_request
from test_sif import assembly_request

pytestmark = pytest.mark.skipif(not hasattr(tesk_gpu, "HAS_OPTIX"),
                                reason="module built without nvcc: no CUDA backend")


def open_context():
    """The first CUDA device, or None with the driver's reason."""
    try:
        return tesk_gpu.OptiXContext(0), ""
    except RuntimeError as error:
        return None, str(error)


@pytest.fixture
def cuda_context():
    context, reason = open_context()
    if context is None:
        pytest.skip(f"no CUDA device: {reason}")
    return context


def test_without_a_device_every_entry_refuses_with_the_driver_reason():
    context, reason = open_context()
    if context is not None:
        pytest.skip("a CUDA device is present")
    assert reason.startswith("Failed to set CUDA device: ")
    with pytest.raises(RuntimeError, match="^Failed to set CUDA device: "):
        tesk_gpu.device_info(0)
    with pytest.raises(TypeError):
        tesk_gpu.SceneManager(None)
    with pytest.raises(TypeError):
        tesk_gpu.solve_physiology_optix(None, grid_request(False))
    with pytest.raises(TypeError):
        tesk_gpu.finalize_sif_process_optix(None, {})
    with pytest.raises(TypeError):
        tesk_gpu.execute_photosynthesis_process_static_optix(None, static_request(np.random.default_rng(1)))
    with pytest.raises(TypeError):
        tesk_gpu.execute_energy_balance_process_optix(None, tesk_gpu.EmbreeSceneManager(), energy_request(2))
    with pytest.raises(TypeError):
        tesk_gpu.assemble_sif_source_optix(None, assembly_request(np.random.default_rng(1)))
    with pytest.raises(TypeError):
        tesk_gpu.execute_photosynthesis_process_dynamic_optix(None, tesk_gpu.EmbreeSceneManager(),
                                                              dynamic_request(2))


def test_the_device_programs_are_installed_beside_the_module():
    import os
    import tesk_gpu.cuda
    with open(os.path.join(tesk_gpu.cuda.ptx_path(), "tesk_kernels.ptx")) as f:
        ptx = f.read()
    # The simulator looks the kernels up by these unmangled names; the traversal stays in single
    # precision (double arithmetic is slow on most GPUs); path sums are doubles as on the CPU.
    entries = {}
    for part in ptx.split(".entry ")[1:]:
        entries[part[:part.index("(")]] = part
    assert set(entries) == {"tesk_trace_closest", "tesk_trace_occluded", "tesk_backward", "tesk_flux",
                            "tesk_forward", "tesk_lidar", "tesk_leaf_rrt", "tesk_energy_balance",
                            "tesk_microwave", "tesk_physiology", "tesk_sif_process",
                            "tesk_photosynthesis_static", "tesk_surface_balance", "tesk_sif_assembly",
                            "tesk_photosynthesis_dynamic"}
    for kernel in ("tesk_trace_closest", "tesk_trace_occluded"):
        assert ".f64" not in entries[kernel]


def forest(scene, rng):
    """Ground and 50 instanced spheres with shading normals, rotated and scaled."""
    g = tesk_gpu.make_ground_plane(20.0, 20.0, 0, 2.0)
    s = tesk_gpu.make_sphere(1.0, [0.0, 0.0, 0.0], 3)
    ground = scene.add_mesh(g["vertices"], g["normals"], g["indices"], 0)
    ball = scene.add_mesh(s["vertices"], s["normals"], s["indices"], 1)
    scene.add_instance(ground, 0.0, 0.0, 0.0, 1.0)
    xforms = []
    for _ in range(50):
        a = rng.uniform(0, 2 * np.pi)
        xforms.append([[np.cos(a) * 2, -np.sin(a), 0, rng.uniform(-18, 18)],
                       [np.sin(a) * 2, np.cos(a), 0, rng.uniform(-18, 18)],
                       [0, 0, rng.uniform(1, 3), rng.uniform(2, 4)]])
    scene.add_instances_xform(ball, np.array(xforms, np.float32).reshape(-1, 12))
    scene.build()


def test_device_batches_match_the_cpu_scene(cuda_context, np_rng):
    cpu, gpu = tesk_gpu.EmbreeSceneManager(), tesk_gpu.SceneManager(cuda_context)
    forest(cpu, np.random.default_rng(1))
    forest(gpu, np.random.default_rng(1))
    import tesk_gpu.cuda
    sim = tesk_gpu.Simulator(cuda_context, tesk_gpu.cuda.ptx_path())
    n = 200_000
    origins = np.c_[np_rng.uniform(-20, 20, (n, 2)), np_rng.uniform(1, 8, n)].astype(np.float32)
    directions = np_rng.normal(size=(n, 3)).astype(np.float32)
    ref = cpu.trace_closest(origins, directions)
    got = sim.trace_closest(gpu, origins, directions)
    assert ref["hit"].sum() > n // 4
    np.testing.assert_array_equal(ref["hit"], got["hit"])
    np.testing.assert_allclose(got["t"][ref["hit"]], ref["t"][ref["hit"]], rtol=1e-4, atol=1e-5)
    same = ref["global_primitive_id"] == got["global_primitive_id"]
    assert same.sum() >= n - 5  # ties on shared edges only
    np.testing.assert_allclose(got["normal"][same], ref["normal"][same], atol=1e-3)
    blocked = sim.trace_occluded(gpu, origins, directions, 1e-4, 5.0)
    np.testing.assert_array_equal(blocked, ref["hit"] & (ref["t"] <= 5.0))


def test_device_scene_info(cuda_context):
    info = tesk_gpu.device_info(0)
    assert info["name"] == cuda_context.device_name
    major, minor = info["compute_capability"].split(".")
    assert (int(major), int(minor)) == (cuda_context.compute_capability_major,
                                        cuda_context.compute_capability_minor)
    assert 0 < cuda_context.free_vram_mb <= cuda_context.total_vram_mb


def lit_forest(scene):
    """The forest of `forest` with optics: two bands, asymmetric leaves, sun, sky and a camera."""
    scene.set_num_bands(2)
    scene.upload_spectral_params(np.array([0.2, 0.4, 0.1, 0.3, 0.05, 0.25, 0.3, 0.35,
                                           900, 500, 30, 60], np.float32))
    scene.add_material(0, 6)  # ground: Lambertian
    scene.add_material(13, 0)  # spheres: leaves, front and back reflectance differ
    scene.set_emitter(0, [0.4, 0.2, 0.9], 8)
    scene.set_sky(10)
    forest(scene, np.random.default_rng(1))
    transform = np.eye(4, dtype=np.float32)
    transform[:3, 3] = [0.0, 0.0, 30.0]  # looking down (along the camera's -z)
    scene.set_sensor(0, 48, 32, 36.0, 24.0, transform.ravel(), 60.0)


def test_device_image_matches_the_cpu_render(cuda_context):
    cpu, gpu = tesk_gpu.EmbreeSceneManager(), tesk_gpu.SceneManager(cuda_context)
    lit_forest(cpu)
    lit_forest(gpu)
    import tesk_gpu.cuda
    sim = tesk_gpu.Simulator(cuda_context, tesk_gpu.cuda.ptx_path())
    outputs = ("radiance", "standard_error", "event_aov", "scattering_order")
    calls = []
    got = sim.simulate(gpu, 8, 6, lambda *a: calls.append(a[:2]), outputs, 2)
    ref = tesk_gpu.simulate_cpu(cpu, 8, 6, None, outputs, 2)
    assert got["_execution"]["executor"] == "optix.cuda.optical_backward"
    assert calls[-1] == (8, 8)
    for key in ("payload", "standard_error", "event_aov", "scattering_order"):
        assert got[key].shape == ref[key].shape
    # Same streams and rules: pixels differ only where a hit differs in its last bits.
    close = np.isclose(got["payload"], ref["payload"], rtol=1e-4, atol=1e-6)
    assert close.mean() > 0.98
    np.testing.assert_allclose(got["payload"].mean(), ref["payload"].mean(), rtol=2e-3)
    np.testing.assert_allclose(got["event_aov"].sum(axis=0), got["payload"], rtol=1e-4, atol=1e-5)


def test_device_flux_matches_the_cpu_run(cuda_context):
    cpu, gpu = tesk_gpu.EmbreeSceneManager(), tesk_gpu.SceneManager(cuda_context)
    lit_forest(cpu)
    lit_forest(gpu)
    import tesk_gpu.cuda
    sim = tesk_gpu.Simulator(cuda_context, tesk_gpu.cuda.ptx_path())
    calls = []
    got = sim.simulate_flux(gpu, 12, 8, 400_000, 2, 0.7, 0, 16, 3, True, lambda *a: calls.append(a[:2]))
    ref = tesk_gpu.simulate_flux_cpu(cpu, 12, 8, 400_000, 2, 0.7, 0, 16, 3, True)
    assert got["_execution"]["executor"] == "optix.cuda.optical_flux"
    assert calls[-1] == (400_000, 400_000)
    # The same photons: cells differ by the rounding of the atomic sums and the rare photon whose
    # hit differs in its last bits.
    for key in ("downwelling", "upwelling", "downwelling_direct", "downwelling_diffuse"):
        np.testing.assert_allclose(got[key], ref[key], rtol=5e-3, atol=1e-6 * ref[key].max())


def test_device_forward_field_matches_the_cpu_run(cuda_context):
    cpu, gpu = tesk_gpu.EmbreeSceneManager(), tesk_gpu.SceneManager(cuda_context)
    lit_forest(cpu)
    lit_forest(gpu)
    import tesk_gpu.cuda
    sim = tesk_gpu.Simulator(cuda_context, tesk_gpu.cuda.ptx_path())
    heights = np.array([0, 1, 2, 3, 5], np.float32)
    views = np.array([[0, 0, 1], [0.5, 0.1, 0.8], [0.3, 0, -1]], np.float32)
    args = (10, 8, heights, 400_000, 2, True, views, 3, 0.7, 16, 0)
    calls = []
    got = sim.simulate_forward(gpu, *args, True, True, lambda *a: calls.append(a[:2]))
    ref = tesk_gpu.simulate_forward_cpu(cpu, *args)
    assert got["_execution"]["executor"] == "optix.cuda.optical_brf"
    assert calls[-1] == (400_000, 400_000)
    for key in ("grid", "leaf", "brf", "albedo", "terrain"):
        assert got[key].shape == ref[key].shape
        np.testing.assert_allclose(got[key].sum(), ref[key].sum(), rtol=2e-3)
    assert np.isclose(got["grid"], ref["grid"], rtol=5e-3, atol=1e-6 * ref["grid"].max()).mean() > 0.95
    np.testing.assert_allclose(got["brf"], ref["brf"], rtol=5e-3)
    # Emitted energy is absorbed or escapes (up to the depth limit and roulette, small here).
    balance = got["grid"].sum(axis=(0, 1, 2)) + got["terrain"] + got["escaped"]
    np.testing.assert_allclose(balance, got["incident"], rtol=2e-2)
    np.testing.assert_allclose(got["grid_direct"] + got["grid_diffuse"], got["grid"], rtol=1e-4,
                               atol=1e-6 * got["grid"].max())


def test_device_lidar_matches_the_cpu_run(cuda_context, np_rng):
    cpu, gpu = tesk_gpu.EmbreeSceneManager(), tesk_gpu.SceneManager(cuda_context)
    lit_forest(cpu)
    lit_forest(gpu)
    import tesk_gpu.cuda
    sim = tesk_gpu.Simulator(cuda_context, tesk_gpu.cuda.ptx_path())
    n = 3000
    origins = np.c_[np_rng.uniform(-18, 18, (n, 2)), np.full(n, 12.0)].astype(np.float32)
    directions = np.c_[np_rng.uniform(-0.2, 0.2, (n, 2)), -np.ones(n)].astype(np.float32)
    for direct in (True, False):
        args = (origins, directions, n, 0.01, 8, 1.0, 0.1, 0.15, 0.0, 40.0, 2, 4.0, 1e-8, 5, direct)
        calls = []
        got = sim.simulate_lidar(gpu, *args, progress=lambda *a: calls.append(a[:2]), waveforms=("convolved", "raw"))
        ref = tesk_gpu.simulate_lidar_cpu(cpu, *args, waveforms=("convolved", "raw"))
        mode = "lidar_point_cloud" if direct else "lidar_waveform"
        assert got["_execution"]["executor"] == f"optix.cuda.{mode}"
        assert calls[-1] == (n, n)
        # The same rays: points differ only where a hit differs in its last bits.
        assert abs(got["num_returns"] - ref["num_returns"]) <= n // 500
        if got["num_returns"] == ref["num_returns"]:
            assert np.isclose(got["points"], ref["points"], rtol=1e-4, atol=1e-6).all(axis=1).mean() > 0.99
        if not direct:
            np.testing.assert_allclose(got["raw_waveform"].sum(), ref["raw_waveform"].sum(), rtol=1e-3)


def test_device_leaf_rrt_matches_the_cpu_run(cuda_context, np_rng):
    cpu, gpu = tesk_gpu.EmbreeSceneManager(), tesk_gpu.SceneManager(cuda_context)
    lit_forest(cpu)
    lit_forest(gpu)
    import tesk_gpu.cuda
    sim = tesk_gpu.Simulator(cuda_context, tesk_gpu.cuda.ptx_path())
    n = 4000
    positions = np.c_[np_rng.uniform(-18, 18, (n, 2)), np_rng.uniform(0.5, 5, n)].astype(np.float32)
    normals = np_rng.normal(size=(n, 3)).astype(np.float32)
    ids, offsets, empty = np.full(n, -1, np.int32), np.zeros(n + 1, np.int32), np.zeros(0, np.int32)
    args = (positions, normals, ids, ids, offsets, empty, empty, 2, 32, 6, np.array([900, 500], np.float32),
            np.array([30, 60], np.float32))
    calls = []
    got = sim.run_turbid_leaf_rrt(gpu, *args, sun_dir_x=0.4, sun_dir_y=0.2, sun_dir_z=0.9, seed=3,
                                  progress=lambda *a: calls.append(a[:2]))
    ref = tesk_gpu.run_turbid_leaf_rrt_cpu(cpu, *args, sun_dir_x=0.4, sun_dir_y=0.2, sun_dir_z=0.9, seed=3)
    assert got["_execution"]["executor"] == "optix.cuda.turbid_leaf_rrt"
    assert calls[-1] == (n, n)
    # The same streams and walks: samples differ only where a hit differs in its last bits.
    for key in ("total_irradiance_top", "total_irradiance_bottom", "direct_irradiance_top", "p_sun"):
        g, r = got["payload"][key], ref["payload"][key]
        assert np.isclose(g, r, rtol=1e-4, atol=1e-5).mean() > 0.97
        np.testing.assert_allclose(g.sum(), r.sum(), rtol=2e-3)


def test_device_energy_balance_matches_the_cpu_run(cuda_context):
    cpu, gpu = tesk_gpu.EmbreeSceneManager(), tesk_gpu.SceneManager(cuda_context)
    lit_forest(cpu)
    lit_forest(gpu)
    import tesk_gpu.cuda
    sim = tesk_gpu.Simulator(cuda_context, tesk_gpu.cuda.ptx_path())
    n = cpu.n_primitives()
    albedo = np.linspace(0.05, 0.4, n, dtype=np.float32)
    temperature = np.linspace(280, 305, n, dtype=np.float32)
    cpu.set_primitive_temperatures(temperature)
    gpu.set_primitive_temperatures(temperature)
    sun = (0.4, 0.2, 0.9)
    for band_type in (0, 1):
        args = (32, 8, band_type, 800.0, 40.0, 350.0, *sun, True, albedo)
        calls = []
        got = sim.run_energy_balance(gpu, *args, progress=lambda *a: calls.append(a[:2]))
        ref = cpu.run_energy_balance(*args)
        assert calls[-1] == (n, n)
        for g, r in zip(got, ref):
            close = np.isclose(g, r, rtol=1e-4, atol=1e-6)
            assert close.mean() > 0.95
            np.testing.assert_allclose(g.sum(), r.sum(), rtol=2e-3)
    bands = np.array([0.1, 0.3], np.float32)
    front = np.repeat(bands, n) + np.tile(albedo, 2) * 0.5
    args = (2, 24, 6, np.array([900, 500], np.float32), None, None, *sun, True, None, front, 0.5 * front,
            0.6 * front)
    got = sim.run_energy_balance_multiband(gpu, *args)
    ref = cpu.run_energy_balance_multiband(*args)
    for g, r in zip(got, ref):
        assert g.shape == r.shape
        assert np.isclose(g, r, rtol=1e-4, atol=1e-6).mean() > 0.95
        np.testing.assert_allclose(g.sum(), r.sum(), rtol=2e-3)


SOIL = np.array([0.3, 0.2, 0.25, 0.3, 2.0, 1.0, 0.1, 295.0, 295.0, 0.0, 0.01, 0.0], np.float32)


def soil_plane(scene, theta):
    """A soil plane z = 0 seen by a 3 x 2 orthographic camera at theta = 60 degrees off nadir."""
    v = np.array([[-1e3, -1e3, 0], [1e3, -1e3, 0], [1e3, 1e3, 0], [-1e3, 1e3, 0]], np.float32)
    mesh = scene.add_mesh(v, np.zeros((0, 3), np.float32), np.array([[0, 1, 2], [0, 2, 3]], np.int32), 0)
    scene.add_instance(mesh, 0.0, 0.0, 0.0, 1.0)
    scene.add_material(0, 0)
    s, c = np.sin(theta), np.cos(theta)
    transform = np.array([[1, 0, 0, 0], [0, c, -s, 0], [0, s, c, 20], [0, 0, 0, 1]], np.float32)
    scene.set_sensor(0, 3, 2, 4.0, 4.0, transform.ravel(), 60.0)
    scene.build()


def test_device_microwave_images_of_a_soil_plane(cuda_context):
    # Seen at 60 degrees (mu = 0.5): passive T_B,p + Gamma_p x sky through the atmosphere, active
    # the soil sigmas through the two-way atmosphere, as _evaluate_microwave_soil gives them.
    import tesk_gpu.cuda
    gpu = tesk_gpu.SceneManager(cuda_context)
    soil_plane(gpu, np.pi / 3)
    sim = tesk_gpu.Simulator(cuda_context, tesk_gpu.cuda.ptx_path())
    f, tau, air, mu = 1.4e9, 0.2, 250.0, 0.5
    common = dict(mw_soil_params=SOIL[None], material_map=np.array([[1, 0]], np.int32))
    tb = sim.simulate_microwave(gpu, f, 2, 4, 4, air, True, tau, **common)
    row = tesk_gpu._evaluate_microwave_soil(f, SOIL, [mu])[0]
    t = np.exp(-tau / mu)
    want = row[:2] + row[2:] * (air * (1 - t) + 2.725 * t)
    assert tb.shape == (2, 3, 2) and tb.dtype == np.float32
    np.testing.assert_allclose(tb, np.broadcast_to(want, tb.shape), rtol=1e-4)
    sigma = sim.simulate_active_microwave(gpu, f, 4, 2, 4, air, tau, **common)
    active = tesk_gpu._evaluate_microwave_soil(f, SOIL, [mu], True)[0]
    np.testing.assert_allclose(sigma, np.broadcast_to(active * np.exp(-2 * tau / mu), sigma.shape),
                               rtol=1e-4)


def test_device_microwave_arguments_are_checked(cuda_context):
    import tesk_gpu.cuda
    gpu = tesk_gpu.SceneManager(cuda_context)
    soil_plane(gpu, 0.3)
    sim = tesk_gpu.Simulator(cuda_context, tesk_gpu.cuda.ptx_path())
    good = dict(mw_soil_params=SOIL[None], material_map=np.array([[1, 0]], np.int32))
    cases = [
        (dict(good, mw_soil_params=SOIL[:10]), "mw_soil_params must have shape (n, >= 12)"),
        (dict(good, mw_soil_params=np.where(np.arange(12) == 2, np.nan, SOIL)), "mw_soil_params must be finite"),
        (dict(good, material_map=np.array([[1, 1]], np.int32)), "material_map row 0: index 1 has no row"),
        (dict(good, material_map=np.array([[7, 0]], np.int32)), "material_map row 0: class 7 is not"),
        (dict(good, material_map=None), "material_map is required"),
        (dict(good, mw_veg_params=np.ones((1, 4), np.float32)), "mw_veg_params must have shape (n, 3)"),
        (dict(good, mw_veg_params=np.ones((1, 3), np.float32), mw_veg_mueller_luts=np.ones(5, np.float32)),
         "mw_veg_mueller_luts must have shape"),
    ]
    for kwargs, message in cases:
        with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
            sim.simulate_microwave(gpu, 1.4e9, **kwargs)
    with pytest.raises(ValueError, match="n_channels"):
        sim.simulate_microwave(gpu, 1.4e9, 4, **good)
    with pytest.raises(ValueError, match="frequency"):
        sim.simulate_active_microwave(gpu, float("nan"), **good)
    with pytest.raises(TypeError):
        sim.simulate_microwave(gpu, 1.4e9, mw_soil_params=["a"] * 12, material_map=good["material_map"])


@pytest.mark.parametrize("energy", [False, True])
def test_device_physiology_solver_matches_the_cpu_over_a_grid_of_inputs(cuda_context, energy):
    import tesk_gpu.cuda
    sim = tesk_gpu.Simulator(cuda_context, tesk_gpu.cuda.ptx_path())
    req = grid_request(energy)
    cpu = tesk_gpu.solve_physiology_cpu(tesk_gpu.EmbreeSceneManager(), req)["payload"]
    out = tesk_gpu.solve_physiology_optix(sim, req)
    assert list(out) == ["payload", "_execution"]
    assert out["_execution"] == {"backend": "optix", "workflow": "physiology_solver",
                                 "executor": "optix.cuda.physiology_solver", "native": True}
    got = out["payload"]
    assert list(got) == list(cpu)
    # The device's exp() and fused multiply-adds differ from the host's in the last bits, and
    # the Newton and fixed-point iterations amplify that a little.
    for key in cpu:
        if cpu[key].dtype == np.uint8:
            np.testing.assert_array_equal(got[key], cpu[key], err_msg=key)
        else:
            assert got[key].dtype == cpu[key].dtype and got[key].shape == cpu[key].shape, key
            np.testing.assert_allclose(got[key], cpu[key], rtol=1e-4, atol=1e-4, err_msg=key)
    assert cpu["converged"].mean() > 0.9 and (cpu["phi_f"] == 0).any() and (cpu["an"] < 0).any()


def test_device_physiology_solver_messages_match_the_cpu(cuda_context):
    import tesk_gpu.cuda
    sim = tesk_gpu.Simulator(cuda_context, tesk_gpu.cuda.ptx_path())
    for edit, message in [({"apar": np.ones(3, np.float32)}, "apar must have shape [element, band]"),
                          ({"max_iterations": 0}, "max_iterations must be positive"),
                          ({"relative_humidity": np.full(144, 1.01, np.float32)},
                           "physiology input is outside its physical domain")]:
        req = grid_request(False)
        req.update(edit)
        with pytest.raises(ValueError) as info:
            tesk_gpu.solve_physiology_optix(sim, req)
        assert str(info.value) == message


def test_device_sif_finalization_equals_the_cpu(cuda_context, np_rng):
    import tesk_gpu.cuda
    sim = tesk_gpu.Simulator(cuda_context, tesk_gpu.cuda.ptx_path())
    n, nb = 3000, 7
    req = {"absorbed_top": np_rng.uniform(0, 5, (n, nb)).astype(np.float32),
           "absorbed_bottom": np_rng.uniform(0, 1, (n, nb)).astype(np.float32),
           "material_ids": np_rng.integers(-1, 3, n).astype(np.int32),
           "material_phi_f": np.array([0.02, 0.01, 0.05], np.float32),
           "selected_band_indices": np.array([0, 2, 3, 6], np.int32)}
    for override in ({}, {"element_phi_f": np_rng.uniform(0, 1, n).astype(np.float32)}):
        sif = dict(req, **override)
        cpu = tesk_gpu.finalize_sif_process_cpu(tesk_gpu.EmbreeSceneManager(), sif)
        out = tesk_gpu.finalize_sif_process_optix(sim, sif)
        assert out["_execution"] == {"backend": "optix", "workflow": "sif_process_finalization",
                                     "executor": "optix.cuda.sif_process_finalization", "native": True}
        assert list(out["payload"]) == list(cpu["payload"])
        for key, value in cpu["payload"].items():  # a selection and a lookup: exact
            np.testing.assert_array_equal(out["payload"][key], value, err_msg=key)
    sif["selected_band_indices"] = np.array([2, 1], np.int32)
    with pytest.raises(ValueError, match="^selected_band_indices must be strictly increasing and in range$"):
        tesk_gpu.finalize_sif_process_optix(sim, sif)


def test_device_static_photosynthesis_matches_the_cpu(cuda_context, np_rng):
    import tesk_gpu.cuda
    sim = tesk_gpu.Simulator(cuda_context, tesk_gpu.cuda.ptx_path())
    req = static_request(np_rng, n=5000)
    cpu = tesk_gpu.execute_photosynthesis_process_static_cpu(tesk_gpu.EmbreeSceneManager(), req)["payload"]
    out = tesk_gpu.execute_photosynthesis_process_static_optix(sim, req)
    assert out["_execution"] == {"backend": "optix", "workflow": "photosynthesis_process_static",
                                 "executor": "optix.cuda.photosynthesis_process_static", "native": True}
    got = out["payload"]
    assert list(got) == list(cpu)
    for key in cpu:  # the device's exp() differs from the host's in the last bits
        assert got[key].dtype == cpu[key].dtype and got[key].shape == cpu[key].shape, key
        np.testing.assert_allclose(got[key], cpu[key], rtol=1e-4, atol=1e-4, err_msg=key)
    np.testing.assert_array_equal(got["active_mask"], cpu["active_mask"])
    assert 0 < cpu["active_mask"].sum() < 5000
    with pytest.raises(ValueError) as info:
        tesk_gpu.execute_photosynthesis_process_static_optix(sim, dict(req, co2=-1.0))
    with pytest.raises(ValueError) as expected:
        tesk_gpu.execute_photosynthesis_process_static_cpu(tesk_gpu.EmbreeSceneManager(), dict(req, co2=-1.0))
    assert str(info.value) == str(expected.value)


def stacked_leaves(scene):
    """Three stacked plates, two triangles each, of one material."""
    scene.set_num_bands(1)
    scene.upload_spectral_params([0.5])
    scene.add_material(0, 0, [0.0, 0.0, 0.0])
    for k in range(3):
        square_mesh(scene, 1.0 + k)
    scene.build()
    return scene


def test_device_energy_balance_process_matches_the_cpu(cuda_context):
    import tesk_gpu.cuda
    sim = tesk_gpu.Simulator(cuda_context, tesk_gpu.cuda.ptx_path())
    cpu, gpu = stacked_leaves(tesk_gpu.EmbreeSceneManager()), stacked_leaves(tesk_gpu.SceneManager(cuda_context))
    two = lambda a, b: np.array([a, b], np.float32)
    req = energy_request(6, primitive_material_ids=np.array([0, 0, 1, 1, 0, 0], np.int32),
                         material_active=np.array([1, 0], np.int32),
                         material_initial_temperature=two(300.0, 280.0), material_emissivity=two(0.96, 0.9),
                         material_sidedness=two(2.0, 1.0), material_sensible_derivative=two(10.0, 5.0),
                         material_latent_coefficient=two(0.01, 0.0), material_ground_heat=two(5.0, 0.0),
                         material_sw_albedo=two(0.2, 0.3), n_samples=64, damping=0.7)
    ref = tesk_gpu.execute_energy_balance_process_cpu(cpu, req)["payload"]
    out = tesk_gpu.execute_energy_balance_process_optix(sim, gpu, req)
    assert out["_execution"] == {"backend": "optix", "workflow": "energy_balance_process",
                                 "executor": "optix.cuda.energy_balance_process", "native": True}
    got = out["payload"]
    assert list(got) == list(ref)
    # Same sample streams; hits differ from the host's in the last bits.
    for key in ("temperature", "absorbed_shortwave", "absorbed_longwave", "net_radiation", "sensible_heat",
                "latent_heat", "emitted_longwave", "ground_heat"):
        np.testing.assert_allclose(got[key], ref[key], rtol=1e-3, atol=1e-2, err_msg=key)
    for key in ("active_mask", "element_converged"):
        np.testing.assert_array_equal(got[key], ref[key], err_msg=key)
    assert got["iterations"] == ref["iterations"] and got["converged"] == ref["converged"]
    assert (got["sensible_heat"][2:4] == 0).all() and (got["temperature"][2:4] == 280.0).all()
    with pytest.raises(ValueError) as info:
        tesk_gpu.execute_energy_balance_process_optix(sim, gpu, dict(req, damping=0.0))
    with pytest.raises(ValueError) as expected:
        tesk_gpu.execute_energy_balance_process_cpu(cpu, dict(req, damping=0.0))
    assert str(info.value) == str(expected.value)
    with pytest.raises(RuntimeError, match="^native longwave result length does not match elements$"):
        tesk_gpu.execute_energy_balance_process_optix(
            sim, gpu, energy_request(5, precomputed_shortwave=True, absorbed_shortwave_top=np.zeros(5, np.float32),
                                     absorbed_shortwave_bottom=np.zeros(5, np.float32)))


def test_device_sif_source_assembly_equals_the_cpu(cuda_context):
    import tesk_gpu.cuda
    sim = tesk_gpu.Simulator(cuda_context, tesk_gpu.cuda.ptx_path())
    rng = np.random.default_rng(5)
    req = assembly_request(rng, n=3000, nb=4)
    req["positions"][:50] += 3.0  # outside their box
    theta, phi = rng.integers(0, 3, 3000), rng.integers(0, 4, 3000)
    zenith = (theta + rng.uniform(0.1, 0.9, 3000)) * np.pi / 6
    azimuth = (phi + rng.uniform(0.1, 0.9, 3000)) * np.pi / 2
    # Normals well inside their orientation bins (the device's acos and atan may move one lying
    # on an edge): the same sums added in the same order in doubles, so all is equal.
    req["normals"] = (np.stack([np.sin(zenith) * np.cos(azimuth), np.sin(zenith) * np.sin(azimuth),
                                np.cos(zenith)], axis=1)
                      * np.where(rng.uniform(size=(3000, 1)) < 0.3, -1, 1)).astype(np.float32)
    req["normals"][:20] = [0, 0, 0]
    cpu = tesk_gpu.assemble_sif_source_cpu(tesk_gpu.EmbreeSceneManager(), req)["payload"]
    out = tesk_gpu.assemble_sif_source_optix(sim, req)
    assert out["_execution"] == {"backend": "optix", "workflow": "sif_source_assembly",
                                 "executor": "optix.cuda.sif_source_assembly", "native": True}
    assert list(out["payload"]) == list(cpu)
    for key, value in cpu.items():
        np.testing.assert_array_equal(out["payload"][key], value, err_msg=key)
    assert 0 < cpu["spatial_counts"].sum() < 3000
    req["cell_stride"] = 5
    with pytest.raises(ValueError, match="^SIF grid_dims must be positive and fit cell_stride$"):
        tesk_gpu.assemble_sif_source_optix(sim, req)


def test_device_dynamic_photosynthesis_matches_the_cpu(cuda_context):
    import tesk_gpu.cuda
    sim = tesk_gpu.Simulator(cuda_context, tesk_gpu.cuda.ptx_path())
    cpu, gpu = stacked_leaves(tesk_gpu.EmbreeSceneManager()), stacked_leaves(tesk_gpu.SceneManager(cuda_context))
    active = np.array([1, 1, 0, 0, 1, 1], np.int32)
    plain = dynamic_request(6, active=active, n_samples=64)
    f = np.linspace(0.2, 0.9, 6).astype(np.float32)
    conditional = dict(plain, conditional=True, sunlit_fraction=f, apar_sunlit=np.full(6, 1500, np.float32),
                       apar_shaded=np.full(6, 200, np.float32), shortwave_sunlit=np.full(6, 500, np.float32),
                       shortwave_shaded=np.full(6, 80, np.float32))
    for req in (plain, conditional):
        ref = tesk_gpu.execute_photosynthesis_process_dynamic_cpu(cpu, req)["payload"]
        out = tesk_gpu.execute_photosynthesis_process_dynamic_optix(sim, gpu, req)
        assert out["_execution"] == {"backend": "optix", "workflow": "photosynthesis_process_dynamic",
                                     "executor": "optix.cuda.photosynthesis_process_dynamic", "native": True}
        got = out["payload"]
        assert list(got) == list(ref)
        # Same sample streams; the device's exp() and hits differ from the host's in the last bits.
        for key, value in ref.items():
            if isinstance(value, np.ndarray) and value.dtype == np.float32:
                np.testing.assert_allclose(got[key], value, rtol=1e-3, atol=1e-2, err_msg=key)
        np.testing.assert_array_equal(got["active_mask"], ref["active_mask"])
        assert got["iterations"] == ref["iterations"]
        assert (got["an"][2:4] == 0).all() and (got["temperature"][2:4] == 285.0).all()
    with pytest.raises(RuntimeError, match="^native longwave result length does not match elements$"):
        tesk_gpu.execute_photosynthesis_process_dynamic_optix(sim, gpu, dynamic_request(5))
