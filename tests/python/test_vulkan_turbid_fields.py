"""Turbid fields on the Vulkan device against the CPU on the same scene record: field assembly,
lookups and thermal/SIF observation sources, with their failures. Skipped where the module has
no Vulkan or no device offers ray queries; pools are small because lavapipe runs the shaders on
the CPU."""

import numpy as np
import pytest

import tesk_gpu

if not getattr(tesk_gpu, "HAS_VULKAN", False):
    pytest.skip("module built without the Vulkan loader and glslangValidator", allow_module_level=True)
if not any(d["compatible"] for d in tesk_gpu.list_vulkan_devices()):
    pytest.skip("no Vulkan device with acceleration structures and ray queries", allow_module_level=True)

from test_turbid_radiation import cube_domain, orientation_bins  # noqa: E402

STATE_FIELDS = ("absorbed_sw_top", "absorbed_sw_bottom", "absorbed_sw_direct", "temperature", "emitted_longwave")


@pytest.fixture(scope="module")
def context():
    return tesk_gpu.VulkanContext(0)


@pytest.fixture
def resident(context):
    """A device scene whose record holds a unit cube domain (256 samples) and a state whose
    sunlit and shaded records and p_sun vary from sample to sample."""
    scene = tesk_gpu.VulkanSceneManager(context)
    record = scene._scene_record()
    domain = cube_domain(record, 2.0, budget=256)
    pool = tesk_gpu._debug_turbid_domain_samples_embree(record, domain)
    n = len(pool["sample_id"])
    rng = np.random.default_rng(5)
    lit = {f: rng.uniform(1.0, 400.0, n).astype(np.float32) for f in STATE_FIELDS}
    shade = {f: rng.uniform(1.0, 300.0, n).astype(np.float32) for f in STATE_FIELDS}
    lit["temperature"] = rng.uniform(290.0, 320.0, n).astype(np.float32)
    shade["temperature"] = rng.uniform(280.0, 300.0, n).astype(np.float32)
    p = rng.uniform(0.0, 1.0, n).astype(np.float32)
    p[:8] = [0, 0, 1, 1, 0, 1, 0, 1]  # fully shaded and fully sunlit leaves
    token = tesk_gpu._build_turbid_state_embree(record, domain, {
        "contract_revision": 1, "stage": "generic", "workflow_revision": 2, "sample_ids": pool["sample_id"],
        "p_sun": p, "sunlit": lit, "shaded": shade})
    return scene, record, domain, token, pool


def queries(n, seed=8):
    rng = np.random.default_rng(seed)
    return rng.uniform(0.01, 0.99, (n, 3)).astype(np.float32), rng.normal(size=(n, 3)).astype(np.float32)


def test_device_field_has_the_cpu_tree_and_bins(resident):
    scene, record, domain, token, pool = resident
    config = {"source_field": "temperature", "max_samples_per_leaf_cell": 8}
    cpu = tesk_gpu._build_turbid_field_embree(record, token, config, 10**9)
    gpu = tesk_gpu._build_turbid_field_vulkan(scene, token, config, 10**9)
    assert (gpu["backend"], gpu["workflow"], gpu["executor"], gpu["residency"]) == (
        "vulkan", "turbid_field", "vulkan.slang.turbid_field", "vulkan.buffer.device_resident")
    assert gpu["field_id"] != cpu["field_id"] and (gpu["domain_id"], gpu["state_id"]) == (domain, token["state_id"])
    c, d = tesk_gpu._debug_turbid_field_embree(record, cpu), tesk_gpu._debug_turbid_field_vulkan(scene, gpu)
    assert c["cell_count"] > 20 and d["residency"] == "vulkan.buffer.device_resident"
    for key in ("cell_count", "morton_code", "parent_index", "depth", "sample_count", "owner_cell_offsets",
                "resident_bytes", "minimum_resident_bytes", "max_leaf_samples"):
        np.testing.assert_array_equal(d[key], c[key], err_msg=key)
    # The same terms summed in another order: equal to the last bits of a double sum.
    assert d["integrated_source"] == pytest.approx(c["integrated_source"], rel=1e-12)
    pos, nor = queries(300)
    for kind in ("source", "direct", "diffuse"):
        a = tesk_gpu._lookup_turbid_field_embree(record, cpu, pos, nor, kind)
        b = tesk_gpu._lookup_turbid_field_embree(record, gpu, pos, nor, kind)
        np.testing.assert_allclose(b["values"], a["values"], rtol=1e-6, err_msg=kind)
        np.testing.assert_array_equal(b["fallback_depth"], a["fallback_depth"])
    def residency():
        return {f["field_id"]: f for f in tesk_gpu._debug_turbid_field_residency_vulkan(scene)["fields"]}

    # The device keeps the cells (10 ints) and bins (32 x 7 doubles) of what it assembled; a
    # field built on the host gets its copy on first device use; a replaced field loses it.
    held = residency()
    assert held[gpu["field_id"]]["residency"] == "vulkan.buffer.device_resident"
    assert held[gpu["field_id"]]["device_bytes"] == c["cell_count"] * (10 * 4 + 32 * 7 * 8)
    assert (held[cpu["field_id"]]["residency"], held[cpu["field_id"]]["device_bytes"]) == ("host", 0)
    assert held[gpu["field_id"]]["cell_count"] == c["cell_count"]
    tesk_gpu._lookup_turbid_field_vulkan(scene, cpu, pos[:1], nor[:1], "source")
    assert residency()[cpu["field_id"]]["residency"] == "vulkan.buffer.device_resident"
    again = tesk_gpu._build_turbid_field_embree(record, token, dict(config, replace_field_id=gpu["field_id"]), 10**9)
    assert (residency()[gpu["field_id"]]["field_revision"], residency()[gpu["field_id"]]["residency"]) == (
        again["field_revision"], "host")
    # The CPU report of the same record keeps its shape.
    assert "residency" not in tesk_gpu._debug_turbid_field_residency_embree(record)["fields"][0]


def test_device_lookup_returns_root_bin_means_and_the_cpu_depths(resident):
    scene, record, domain, token, pool = resident
    # A root-only field: each bin holds the mean of its samples (equal leaf areas), here of the
    # p-weighted direct shortwave.
    root = tesk_gpu._build_turbid_field_vulkan(scene, token, {"max_samples_per_leaf_cell": 300}, 10**8)
    records = tesk_gpu._aggregate_turbid_state_embree(record, token, ["apar"], "samples",
                                                     list(pool["sample_id"]))["samples"]
    direct = np.array([s["p_sun"] * s["sunlit"]["absorbed_sw_direct"] for s in records])
    pos, nor = pool["position"].astype(np.float32), pool["normal"].astype(np.float32)
    bins = orientation_bins(nor.astype(np.float64))
    out = tesk_gpu._lookup_turbid_field_vulkan(scene, root, pos, nor, "direct")
    assert (out["backend"], out["workflow"], out["executor"]) == (
        "vulkan", "turbid_field_lookup", "vulkan.slang.turbid_field_lookup")
    assert out["field_token"] == {k: root[k] for k in ("field_id", "domain_id", "field_revision", "state_id")}
    np.testing.assert_allclose(out["values"], [direct[bins == b].mean() for b in bins], rtol=1e-5)
    np.testing.assert_array_equal(out["matched_depth"], 0)
    # A downward normal reads the bin of its mirror.
    np.testing.assert_array_equal(tesk_gpu._lookup_turbid_field_vulkan(scene, root, pos, -nor, "direct")["values"],
                                  out["values"])
    # A deep tree: the device walk gives the CPU's values and depths, with and without a selector.
    deep = tesk_gpu._build_turbid_field_embree(record, token, {"max_samples_per_leaf_cell": 4}, 10**9)
    q, n = queries(400, seed=3)
    owner = tesk_gpu._debug_turbid_scene_relations_embree(record)["owners"][0]["owner_id"]
    selector = (np.full(400, owner, np.uint64), np.full(400, 5, np.uint64), np.full(400, 5, np.uint64))
    for kind in ("source", "diffuse"):
        a = tesk_gpu._lookup_turbid_field_embree(record, deep, q, n, kind)
        b = tesk_gpu._lookup_turbid_field_vulkan(scene, deep, q, n, kind, *selector)
        np.testing.assert_array_equal(b["values"], a["values"])
        np.testing.assert_array_equal(b["matched_depth"], a["matched_depth"])
        np.testing.assert_array_equal(b["fallback_depth"], a["fallback_depth"])
    assert a["matched_depth"].max() >= 2 and np.any(a["fallback_depth"] < a["matched_depth"])
    # Axis-aligned normals and points on cell faces sit exactly on bin and key boundaries; normals
    # 2e-5 rad either side of every bin boundary sit closer to them than GLSL's own acos and
    # atan are accurate on lavapipe (5e-5 rad). All go where the CPU sends them.
    axes = np.float32([[1, 0, 0], [-1, 0, 0], [0, 1, 0], [0, -1, 0], [0, 0, 1], [1, 1, 0], [-1, 1, 0], [0, 1, 1]])
    faces = np.float32([[0.5, 0.5, 0.5], [0.25, 0.75, 0.5], [0.125, 0.5, 0.875]])
    fp, fn = np.repeat(faces, len(axes), 0), np.tile(axes, (len(faces), 1))
    for field in (root, deep):
        a = tesk_gpu._lookup_turbid_field_embree(record, field, fp, fn, "source")
        b = tesk_gpu._lookup_turbid_field_vulkan(scene, field, fp, fn, "source")
        for key in ("values", "matched_depth", "fallback_depth"):
            np.testing.assert_array_equal(b[key], a[key])
    theta = (np.arange(1, 4)[:, None] * np.pi / 8 + [-2e-5, 2e-5]).ravel()
    phi = (np.arange(8)[:, None] * np.pi / 4 + [-2e-5, 2e-5]).ravel()
    t, f = (g.ravel() for g in np.meshgrid(theta, phi))
    edge = np.column_stack([np.sin(t) * np.cos(f), np.sin(t) * np.sin(f), np.cos(t)])
    edge = np.concatenate([edge, -edge]).astype(np.float32)
    at = np.broadcast_to(np.float32([0.4, 0.6, 0.5]), edge.shape).copy()
    a = tesk_gpu._lookup_turbid_field_embree(record, root, at, edge, "source")
    b = tesk_gpu._lookup_turbid_field_vulkan(scene, root, at, edge, "source")
    np.testing.assert_array_equal(b["values"], a["values"])
    np.testing.assert_array_equal(orientation_bins(edge[:96].astype(np.float64)).reshape(8, 2, 3, 2)[:, 0, :, 0] % 8,
                                  (np.arange(8)[:, None] - 1) % 8 + np.zeros(3, int))  # just below each azimuth
    assert len(np.unique(a["values"])) > 16
    empty = tesk_gpu._lookup_turbid_field_vulkan(scene, deep, q[:0], n[:0], "source")
    assert empty["values"].shape == (0,)


def test_device_field_failures_are_the_cpu_messages(context, resident, tmp_path):
    scene, record, domain, token, pool = resident
    cell = tesk_gpu._debug_turbid_field_embree(
        record, tesk_gpu._build_turbid_field_embree(record, token, {"max_samples_per_leaf_cell": 256}, 10**8))[
        "minimum_resident_bytes"]
    before = len(tesk_gpu._debug_turbid_field_residency_vulkan(scene)["fields"])
    for config, budget, message in [
            ({}, 0, "Turbid field memory budget must be positive"),
            ({}, cell - 1, "Turbid field memory budget cannot hold mandatory roots"),
            ({}, cell, "Turbid field memory budget cannot hold the next cell"),
            ({"orientation_phi_bins": 7}, cell, "Task 7 TurbidField requires the default 4 x 8 orientation layout"),
            ({"source_field": "colour"}, cell, "Turbid field channels are missing")]:
        with pytest.raises(ValueError) as err:
            tesk_gpu._build_turbid_field_vulkan(scene, token, config, budget)
        assert str(err.value) == message
    assert len(tesk_gpu._debug_turbid_field_residency_vulkan(scene)["fields"]) == before
    field = tesk_gpu._build_turbid_field_vulkan(scene, token, {}, 10**9)
    p, n = np.float32([[0.5, 0.5, 0.5]]), np.float32([[0, 0, 1]])
    two = np.float32([[0.5, 0.5, 0.5], [0.5, 0.5, 3.0]])
    for args, message in [
            ((p, n[:0], "source"), "Turbid field lookup positions/normals must be matching [N,3] arrays"),
            ((p, n, "heat"), "unknown Turbid field source kind: heat"),
            ((p * np.nan, n, "source"), "Turbid field lookup position/normal must be finite"),
            ((p, n * 0, "source"), "Turbid field lookup normal must be non-zero"),
            ((two, np.repeat(n, 2, 0), "source"), "Turbid field lookup is outside every field owner"),
            ((p, n, "source", [1]), "Turbid field lookup selector requires owner, medium, and resolved alias arrays"),
            ((p, n, "source", [0], [5], [5]), "Turbid field owner selection requires stable owner and medium IDs"),
            ((p, n, "source", [12345], [5], [5]), "Turbid field owner selector does not belong to this domain")]:
        with pytest.raises(ValueError) as err:
            tesk_gpu._lookup_turbid_field_vulkan(scene, field, *args)
        assert str(err.value) == message
    stale = "^Stale TurbidField token belongs to another scene/domain/state. No fallback was performed.$"
    tesk_gpu._build_turbid_field_vulkan(scene, token, {"replace_field_id": field["field_id"]}, 10**9)
    with pytest.raises(RuntimeError, match=stale):
        tesk_gpu._lookup_turbid_field_vulkan(scene, field, p, n, "source")
    with pytest.raises(RuntimeError, match=stale):
        tesk_gpu._debug_turbid_field_vulkan(scene, field)
    # A shader directory without the pinned files: refused, nothing committed, no fallback.
    bare = tesk_gpu.VulkanSceneManager(context, str(tmp_path))
    other = cube_domain(bare._scene_record(), 2.0, budget=64)
    ids = tesk_gpu._debug_turbid_domain_samples_embree(bare._scene_record(), other)["sample_id"]
    state = tesk_gpu._build_turbid_state_embree(bare._scene_record(), other, {
        "contract_revision": 1, "stage": "generic", "workflow_revision": 2, "sample_ids": ids,
        "p_sun": np.full(len(ids), 0.5, np.float32), "sunlit": {}, "shaded": {}})
    with pytest.raises(RuntimeError, match=r"^Vulkan resident Turbid artifact 'turbid_field_assemble' is missing\. "
                                           r"No fallback was performed\.$"):
        tesk_gpu._build_turbid_field_vulkan(bare, state, {}, 10**9)
    assert tesk_gpu._debug_turbid_field_residency_vulkan(bare)["fields"] == []
    cpu_field = tesk_gpu._build_turbid_field_embree(bare._scene_record(), state, {}, 10**9)
    with pytest.raises(RuntimeError, match="'turbid_field_lookup' is missing"):
        tesk_gpu._lookup_turbid_field_vulkan(bare, cpu_field, p, n, "source")


BANDS = np.array([4000.0, 9000.0, 12000.0], np.float32)


def test_device_observation_sources_equal_the_cpu(resident):
    scene, record, domain, token, pool = resident
    field = tesk_gpu._build_turbid_field_vulkan(scene, token, {"source_field": "temperature",
                                                               "max_samples_per_leaf_cell": 16}, 10**9)
    eps, back = np.array([0.97, 0.9, 0.95], np.float32), np.array([0.8, 0.6, 0.9], np.float32)
    cpu = tesk_gpu._build_turbid_thermal_source_embree(record, field, BANDS, eps, back)
    gpu = tesk_gpu._build_turbid_thermal_source_vulkan(scene, field, BANDS, eps, back)
    assert (gpu["backend"], gpu["workflow"], gpu["executor"]) == (
        "vulkan", "turbid_thermal_source", "vulkan.slang.turbid_thermal_source")
    assert (gpu["band_count"], gpu["resident_bytes"], gpu["source_field_id"]) == (
        3, cpu["resident_bytes"], field["field_id"])
    c, d = tesk_gpu._debug_turbid_field_embree(record, cpu), tesk_gpu._debug_turbid_field_vulkan(scene, gpu)
    assert d["residency"] == "vulkan.buffer.device_resident" and d["spectral_band_count"] == 3
    for face in ("spectral_source_front", "spectral_source_back"):
        assert np.count_nonzero(c[face]) > 100
        # Planck in double on the host, with a single-precision exponential on the device.
        np.testing.assert_allclose(d[face], c[face], rtol=2e-6, atol=0, err_msg=face)
    exitance = np.random.default_rng(2).uniform(0.0, 3.0, (len(pool["sample_id"]), 2)).astype(np.float32)
    sif_bands = np.array([685.0, 740.0], np.float32)
    cpu = tesk_gpu._build_turbid_sif_source_embree(record, field, sif_bands, exitance, exitance[:, ::-1])
    gpu = tesk_gpu._build_turbid_sif_source_vulkan(scene, field, sif_bands, exitance, exitance[:, ::-1])
    assert gpu["executor"] == "vulkan.slang.turbid_sif_source" and gpu["backend"] == "vulkan"
    c, d = tesk_gpu._debug_turbid_field_embree(record, cpu), tesk_gpu._debug_turbid_field_vulkan(scene, gpu)
    np.testing.assert_allclose(d["spectral_source_front"], c["spectral_source_front"], rtol=1e-6)
    np.testing.assert_allclose(d["spectral_source_back"], c["spectral_source_back"], rtol=1e-6)
    # Root cell, closed form: per bin the mean exitance over pi.
    bins = orientation_bins(pool["normal"].astype(np.float64))
    for b in np.unique(bins):
        np.testing.assert_allclose(d["spectral_source_front"][0, b], exitance[bins == b].mean(0) / np.pi, rtol=1e-5)


def test_device_observation_source_budget_and_checks(resident):
    scene, record, domain, token, pool = resident
    field = tesk_gpu._build_turbid_field_vulkan(scene, token, {"source_field": "temperature"}, 10**9)
    resident_bytes = tesk_gpu._debug_turbid_field_vulkan(scene, field)["resident_bytes"]
    need = resident_bytes + 2 * 4 * 3 * 32 * tesk_gpu._debug_turbid_field_vulkan(scene, field)["cell_count"]
    before = len(tesk_gpu._debug_turbid_field_residency_vulkan(scene)["fields"])
    ones = np.ones(3, np.float32)
    cases = [
        (dict(memory_budget=need - 1), "Turbid field final resident bytes exceed its hard budget"),
        (dict(memory_budget=-5), "Turbid field memory budget must be positive"),
        (dict(emissivity=np.ones(2, np.float32)), "Turbid thermal source emissivity must have one value per band"),
        (dict(emissivity=ones * 1.5), "Turbid thermal source emissivity must lie in [0, 1]"),
        (dict(wavelengths=-BANDS), "Turbid observation wavelengths must be positive and finite"),
    ]
    for change, message in cases:
        kw = dict(wavelengths=BANDS, emissivity=ones) | change
        for build, target in ((tesk_gpu._build_turbid_thermal_source_embree, record),
                              (tesk_gpu._build_turbid_thermal_source_vulkan, scene)):
            with pytest.raises(ValueError) as err:
                build(target, field, **kw)
            assert str(err.value) == message
    assert len(tesk_gpu._debug_turbid_field_residency_vulkan(scene)["fields"]) == before
    fits = tesk_gpu._build_turbid_thermal_source_vulkan(scene, field, BANDS, ones, memory_budget=need)
    assert fits["resident_bytes"] == need
    with pytest.raises(ValueError, match=r"^Turbid SIF source spectra must be \[samples, bands\] arrays$"):
        tesk_gpu._build_turbid_sif_source_vulkan(scene, field, BANDS, np.ones((3, 3), np.float32))
    with pytest.raises(ValueError, match="^Turbid observation source must be built from a plain field$"):
        tesk_gpu._build_turbid_thermal_source_vulkan(scene, fits, BANDS, ones)
    with pytest.raises(TypeError, match="^wavelengths must be a float32 array, not None$"):
        tesk_gpu._build_turbid_sif_source_vulkan(scene, field, None, ones)


def outcome(call):
    """(values, None) of a call that returns, (None, (type, message)) of one that raises."""
    try:
        return call(), None
    except (ValueError, TypeError, IndexError, OverflowError, RuntimeError, MemoryError) as error:
        return None, (type(error), str(error))


def test_random_lookups_and_sources_behave_as_on_the_cpu(resident):
    # Differential fuzzing with a seeded generator: the same random arguments (NaN and huge
    # coordinates, zero and tiny normals, points outside the owner, bad selectors and kinds,
    # stale tokens, odd bands and budgets) give the CPU's values on the device, or the CPU's
    # exception with the CPU's message and nothing committed.
    scene, record, domain, token, pool = resident
    field = tesk_gpu._build_turbid_field_vulkan(scene, token, {"source_field": "temperature",
                                                               "max_samples_per_leaf_cell": 8}, 10**9)
    owner = int(tesk_gpu._debug_turbid_scene_relations_embree(record)["owners"][0]["owner_id"])
    tokens = [dict(field, field_revision=field["field_revision"] + 1), dict(field, state_id=0),
              {"field_id": field["field_id"]}, None]
    odd = np.float32([np.nan, np.inf, 1e30, -0.5, 1.5, 1e-30, 0.0])
    rng = np.random.default_rng(12)

    def pick(values, p_first=0.8):
        return values[0] if rng.random() < p_first else values[rng.integers(1, len(values))]

    def spoil(a):
        if rng.random() < 0.2:
            a.flat[rng.integers(a.size)] = rng.choice(odd)
        return a

    outcomes = {"lookup": 0, "source": 0}
    for _ in range(150):
        tok = pick([field] + tokens)
        n = int(rng.integers(0, 7))
        pos = spoil(rng.uniform(0.0, 1.0, (n, 3)).astype(np.float32)) if n else np.zeros((0, 3), np.float32)
        nor = rng.normal(size=(n + (rng.random() < 0.05), 3)).astype(np.float32)
        nor = spoil(nor) if nor.size else nor
        kind = pick(["source", "direct", "diffuse", "heat"], 0.3)
        selector = []
        if rng.random() < 0.4:
            k = n if rng.random() < 0.9 else n + 1
            selector = [np.full(k, pick([owner, 0, 12345, 2**64 - 1]), np.uint64),
                        np.full(k, pick([5, 6, 0]), np.uint64), np.full(k, pick([5, 7]), np.uint64)]
        cpu = outcome(lambda: tesk_gpu._lookup_turbid_field_embree(record, tok, pos, nor, kind, *selector))
        gpu = outcome(lambda: tesk_gpu._lookup_turbid_field_vulkan(scene, tok, pos, nor, kind, *selector))
        assert gpu[1] == cpu[1]
        if cpu[0] is not None:
            outcomes["lookup"] += 1
            for key in ("values", "matched_depth", "fallback_depth"):
                np.testing.assert_array_equal(gpu[0][key], cpu[0][key])
        bands = rng.choice(np.float32([9000.0, 4000.0, 12000.0]), int(rng.integers(0, 4)))
        bands = spoil(bands) if bands.size else bands
        eps = rng.choice(np.float32([0.9, 1.0, 0.5]), len(bands) + (rng.random() < 0.1))
        eps = spoil(eps) if eps.size else eps
        budget = pick([None, 10**9, 1, -3], 0.6)
        before = len(tesk_gpu._debug_turbid_field_residency_embree(record)["fields"])
        cpu = outcome(lambda: tesk_gpu._build_turbid_thermal_source_embree(record, tok, bands, eps,
                                                                           memory_budget=budget))
        gpu = outcome(lambda: tesk_gpu._build_turbid_thermal_source_vulkan(scene, tok, bands, eps,
                                                                           memory_budget=budget))
        assert gpu[1] == cpu[1]
        after = len(tesk_gpu._debug_turbid_field_residency_embree(record)["fields"])
        assert after == before + (2 if cpu[1] is None else 0)
        outcomes["source"] += cpu[1] is None
    # Enough calls went through for the value comparisons to mean something.
    assert outcomes["lookup"] > 30 and outcomes["source"] > 20, outcomes


def test_failures_come_in_query_order_as_on_the_cpu(context):
    # A pool of 16 samples leaves most orientation bins empty at the root: a query in an empty bin
    # fails, and of two failing queries the first one's message is raised, whether it fails in
    # the owner choice (on the host) or in the tree walk (on the device).
    scene = tesk_gpu.VulkanSceneManager(context)
    record = scene._scene_record()
    domain = cube_domain(record, 2.0, budget=16)
    ids = tesk_gpu._debug_turbid_domain_samples_embree(record, domain)["sample_id"]
    state = tesk_gpu._build_turbid_state_embree(record, domain, {
        "contract_revision": 1, "stage": "generic", "workflow_revision": 2, "sample_ids": ids,
        "p_sun": np.full(len(ids), 0.5, np.float32), "sunlit": {}, "shaded": {}})
    field = tesk_gpu._build_turbid_field_vulkan(scene, state, {}, 10**9)
    normals = tesk_gpu._debug_turbid_domain_samples_embree(record, domain)["normal"].astype(np.float64)
    empty = sorted(set(range(32)) - set(orientation_bins(normals)))
    assert empty
    # A normal in the middle of the first empty bin.
    t, a = (empty[0] // 8 + 0.5) * np.pi / 8, (empty[0] % 8 + 0.5) * np.pi / 4
    hole = np.float32([np.sin(t) * np.cos(a), np.sin(t) * np.sin(a), np.cos(t)])
    ok = normals[0].astype(np.float32)
    inside, outside = np.float32([0.5, 0.5, 0.5]), np.float32([0.5, 0.5, 3.0])
    no_ancestor = "Turbid field orientation has no populated ancestor"
    outside_message = "Turbid field lookup is outside every field owner"
    for pos, nor, message in [([inside, inside, outside], [ok, hole, ok], no_ancestor),
                              ([inside, outside, inside], [ok, ok, hole], outside_message),
                              ([inside], [hole], no_ancestor)]:
        for look, target in ((tesk_gpu._lookup_turbid_field_embree, record),
                             (tesk_gpu._lookup_turbid_field_vulkan, scene)):
            with pytest.raises(ValueError) as err:
                look(target, field, np.array(pos), np.array(nor), "source")
            assert str(err.value) == message
