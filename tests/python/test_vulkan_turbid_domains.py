"""Turbid domains and states resident on a Vulkan scene against the CPU registry: the same
samples and records for the same requests, prefix-stable extension, all-or-nothing commits
(device buffers included) and the leaf-area-weighted reduction on the device. Skipped where the
module has no Vulkan or no device offers ray queries; budgets stay small because lavapipe runs
the sampling shader on the CPU."""

import numpy as np
import pytest

import tesk_gpu

if not getattr(tesk_gpu, "HAS_VULKAN", False):
    pytest.skip("module built without the Vulkan loader and glslangValidator", allow_module_level=True)
if not any(d["compatible"] for d in tesk_gpu.list_vulkan_devices()):
    pytest.skip("no Vulkan device with acceleration structures and ray queries", allow_module_level=True)

from test_turbid_domains import CUBE_T, CUBE_V, TETRA_T, TETRA_V, component, descriptor  # noqa: E402

DEVICE = {"backend": "vulkan", "executor": "vulkan.slang.turbid_domain",
          "residency": "vulkan.buffer.device_resident"}
RESIDENT_SAMPLE_BYTES = 40  # position, normal, weight, owner, stable id
RESIDENT_STATE_BYTES = 120  # p_sun, 14 sunlit and 14 shaded fields, converged flags
STAGES = ["derived_prune_stage", "table_stage", "table_replace", "removal"]


@pytest.fixture(scope="module")
def context():
    return tesk_gpu.VulkanContext(0)


def two_owner_request(**config):
    """A rotated, scaled tetrahedron (most candidates rejected) and a cube beside it, as one
    domain with two owners."""
    c, s = np.cos(0.4), np.sin(0.4)
    xform = [2 * c, -2 * s, 0, 1, 2 * s, 2 * c, 0, -1, 0, 0, 2, 0.5]
    corners = np.array([[1, -1, 0.5], [1 + 2 * c, -1 + 2 * s, 0.5], [1 - 2 * s, -1 + 2 * c, 0.5], [1, -1, 2.5]])
    tetra = component(corners.min(0).tolist(), corners.max(0).tolist(), xform=xform, lad="erectophile",
                      instance=8)
    cube = component([3, 0, 0], [4, 1, 1], lad="planophile", instance=9, medium=6, density=0.7)
    return descriptor(vertices=np.concatenate([TETRA_V, CUBE_V + [3, 0, 0]]).astype(np.float32),
                      triangles=np.concatenate([TETRA_T, CUBE_T + 4]).astype(np.uint32),
                      components=[tetra, cube], component_vertex_offsets=np.array([0, 4, 12], np.uint64),
                      component_triangle_offsets=np.array([0, 4, 16], np.uint64), **config)


def identity_free(record):
    return {k: v for k, v in record.items() if k not in ("domain_id", "backend", "executor", "residency")}


def assert_same_pools(device, host):
    assert list(device) == list(host)
    for key in host:
        a, b = np.asarray(device[key]), np.asarray(host[key])
        assert a.dtype == b.dtype and a.tobytes() == b.tobytes(), key


def residency(scene):
    """The residency report without the fields a commit may legitimately leave alone."""
    return tesk_gpu._debug_turbid_residency_vulkan(scene)


def test_device_domains_hold_the_cpu_samples_and_records(context):
    scene = tesk_gpu.VulkanSceneManager(context)
    cpu_scene = tesk_gpu.EmbreeSceneManager()
    req = two_owner_request(sample_budget=96)
    (record,) = tesk_gpu._build_turbid_domains_vulkan(context, scene, scene.shader_dir, [req])
    (cpu,) = tesk_gpu._build_turbid_domains_embree(cpu_scene, [req])
    assert {k: record[k] for k in DEVICE} == DEVICE and record["workflow"] == "_turbid_domain_lifecycle"
    assert identity_free(record) == identity_free(cpu)
    assert (record["owner_count"], record["sample_count"], record["resident_revision"]) == (2, 192, 1)
    # The samples read back from the device buffer are the CPU's, bit for bit.
    device = tesk_gpu._debug_turbid_domain_samples_vulkan(scene, record["domain_id"])
    host = tesk_gpu._debug_turbid_domain_samples_embree(cpu_scene, cpu["domain_id"])
    assert_same_pools(device, host)
    assert host["candidates_tested"] > 192 * 2  # the tetrahedron rejects most candidates
    assert tesk_gpu._turbid_domain_revisions_vulkan(scene, record["domain_id"]) == record
    relations = tesk_gpu._debug_turbid_scene_relations_vulkan(scene)
    cpu_relations = tesk_gpu._debug_turbid_scene_relations_embree(cpu_scene)
    assert relations["owners"] == cpu_relations["owners"] and relations["parts"] == cpu_relations["parts"]
    report = residency(scene)
    assert {k: report[k] for k in DEVICE} == DEVICE
    (entry,) = report["domains"]
    assert entry["device_resident"] and entry["residency"] == DEVICE["residency"]
    assert entry["resident_bytes"] == 192 * RESIDENT_SAMPLE_BYTES
    assert report["counters"] == tesk_gpu._debug_turbid_residency_embree(cpu_scene)["counters"]
    # A domain committed through the scene record has no device copy, and says so.
    host_only = tesk_gpu._build_turbid_domain_embree(scene._scene_record(), descriptor(key=11),
                                                     {"seed": 2, "sample_budget": 8})
    entries = {e["domain_id"]: e for e in residency(scene)["domains"]}
    assert entries[host_only["domain_id"]]["residency"] == "embree.cpp.host"
    assert not entries[host_only["domain_id"]]["device_resident"]
    with pytest.raises(RuntimeError, match="^TurbidDomain has no Vulkan device copy. No fallback was performed.$"):
        tesk_gpu._debug_turbid_domain_samples_vulkan(scene, host_only["domain_id"])
    # The CPU's request checks and messages, before any device work.
    assert tesk_gpu._preflight_turbid_sampling_vulkan(scene, {"seed": 1, "quality": "standard"}) == 4096
    with pytest.raises(OverflowError, match="^Turbid accepted sample budget exceeds the native candidate/index"):
        tesk_gpu._preflight_turbid_sampling_vulkan(scene, {"seed": 1, "sample_budget": 4194304})
    with pytest.raises(ValueError, match="^Turbid scene relations must be supplied once per batch$"):
        tesk_gpu._build_turbid_domains_vulkan(context, scene, scene.shader_dir, [dict(req, scene_relations={})])
    with pytest.raises(RuntimeError, match="^Vulkan shader not found: /nonexistent.spv$"):
        tesk_gpu._build_turbid_domain_vulkan(context, scene, "/nonexistent.spv", descriptor(key=12), {"seed": 1})
    # A refused request is refused before the shader is read.
    with pytest.raises(ValueError, match="^Turbid sidedness must be one or two$"):
        tesk_gpu._build_turbid_domain_vulkan(context, scene, "/nonexistent.spv",
                                             descriptor(components=[dict(component([0, 0, 0], [1, 1, 1]),
                                                                         sidedness=3)]), {"seed": 1})
    assert len(residency(scene)["domains"]) == 2


def test_extension_keeps_the_prefix_and_replaces_the_device_buffer(context):
    scene = tesk_gpu.VulkanSceneManager(context)
    record = tesk_gpu._build_turbid_domain_vulkan(context, scene, scene.shader_dir, two_owner_request(),
                                                  {"seed": 3, "sample_budget": 32})
    domain = record["domain_id"]
    before = tesk_gpu._debug_turbid_domain_samples_vulkan(scene, domain)
    (entry,) = residency(scene)["domains"]
    counters = residency(scene)["counters"]
    # The same budget changes nothing and samples nothing (the shader is never read).
    same = tesk_gpu._extend_turbid_samples_vulkan(context, scene, "/nonexistent.spv", domain,
                                                  {"seed": 3, "sample_budget": 32})
    assert same == record and residency(scene)["counters"] == counters
    grown = tesk_gpu._extend_turbid_samples_vulkan(context, scene, scene.shader_dir, domain,
                                                   {"seed": 3, "sample_budget": 80})
    assert (grown["resident_revision"], grown["extension_count"], grown["sample_count"]) == (2, 1, 160)
    assert grown["sampling_revision"] >= record["sampling_revision"] + 1
    after = tesk_gpu._debug_turbid_domain_samples_vulkan(scene, domain)
    offsets = before["owner_offsets"]
    for o in range(2):
        old = slice(offsets[o], offsets[o + 1])
        new = slice(after["owner_offsets"][o], after["owner_offsets"][o] + 32)
        for key in ("sample_id", "position", "normal"):
            assert after[key][new].tobytes() == before[key][old].tobytes(), key
    # Each owner's leaf area is kept; the weights shrink by 32/80.
    np.testing.assert_allclose(after["weight"][0], before["weight"][0] * 32 / 80, rtol=1e-6)
    # The extended pool equals the CPU sampling of the same budget.
    cpu_scene = tesk_gpu.EmbreeSceneManager()
    cpu = tesk_gpu._build_turbid_domain_embree(cpu_scene, two_owner_request(), {"seed": 3, "sample_budget": 80})
    host = tesk_gpu._debug_turbid_domain_samples_embree(cpu_scene, cpu["domain_id"])
    for key in ("sample_id", "position", "normal", "weight", "owner_offsets"):
        assert after[key].tobytes() == host[key].tobytes(), key
    (replaced,) = residency(scene)["domains"]
    assert replaced["buffer_generation_id"] > entry["buffer_generation_id"]
    assert replaced["resident_bytes"] == 160 * RESIDENT_SAMPLE_BYTES
    grown_counters = residency(scene)["counters"]
    for key in ("allocation_count", "upload_count", "free_count", "generation_count", "commit_count"):
        assert grown_counters[key] == counters[key] + 1, key
    with pytest.raises(ValueError, match="^Changing the Turbid seed requires a domain rebuild$"):
        tesk_gpu._extend_turbid_samples_vulkan(context, scene, scene.shader_dir, domain, {"seed": 4, "sample_budget": 99})
    stale = "^Stale TurbidDomain handle belongs to another scene/domain. No fallback was performed.$"
    other = tesk_gpu.VulkanSceneManager(context)
    with pytest.raises(RuntimeError, match=stale):
        tesk_gpu._turbid_domain_revisions_vulkan(other, domain)
    with pytest.raises(RuntimeError, match=stale):
        tesk_gpu._extend_turbid_samples_vulkan(context, other, other.shader_dir, domain, {"seed": 3})


def test_injected_commit_failures_leave_registry_and_device_buffers_unchanged(context):
    scene = tesk_gpu.VulkanSceneManager(context)
    domain = tesk_gpu._build_turbid_domain_vulkan(context, scene, scene.shader_dir, descriptor(),
                                                  {"seed": 3, "sample_budget": 16})["domain_id"]

    def snapshot():
        return (residency(scene), tesk_gpu._turbid_domain_revisions_vulkan(scene, domain),
                tesk_gpu._debug_turbid_scene_relations_vulkan(scene)["relation_revision"],
                tesk_gpu._debug_turbid_domain_samples_vulkan(scene, domain)["position"].tobytes())

    before = snapshot()
    for stage in STAGES:
        for attempt in (lambda: tesk_gpu._extend_turbid_samples_vulkan(context, scene, scene.shader_dir, domain,
                                                                       {"seed": 3, "sample_budget": 24}),
                        lambda: tesk_gpu._build_turbid_domains_vulkan(context, scene, scene.shader_dir,
                                                                      [descriptor(key=10, seed=1, sample_budget=8)])):
            tesk_gpu._set_turbid_commit_failure_vulkan(scene, stage)
            with pytest.raises(RuntimeError, match=f"^Injected Vulkan Turbid commit failure: {stage}$"):
                attempt()
            assert snapshot() == before
    # Disarming works, and the next commit goes through.
    tesk_gpu._set_turbid_commit_failure_vulkan(scene, "table_stage")
    tesk_gpu._set_turbid_commit_failure_vulkan(scene, "")
    tesk_gpu._extend_turbid_samples_vulkan(context, scene, scene.shader_dir, domain, {"seed": 3, "sample_budget": 24})
    assert residency(scene)["counters"]["commit_count"] == before[0]["counters"]["commit_count"] + 1
    with pytest.raises(ValueError, match="^unknown Turbid commit stage: bogus$"):
        tesk_gpu._set_turbid_commit_failure_vulkan(scene, "bogus")


def state_of(samples, seed=0):
    rng = np.random.default_rng(seed)
    n = len(samples["sample_id"])
    return {"sample_ids": samples["sample_id"], "p_sun": rng.uniform(0, 1, n).astype(np.float32),
            "sunlit": {"temperature": rng.uniform(290, 310, n).astype(np.float32),
                       "apar": rng.uniform(100, 900, n).astype(np.float32)},
            "shaded": {"temperature": rng.uniform(285, 300, n).astype(np.float32),
                       "apar": rng.uniform(10, 90, n).astype(np.float32)},
            "stage": "generic", "workflow_revision": 1}


def test_states_are_device_resident_and_aggregate_as_on_the_cpu(context):
    scene = tesk_gpu.VulkanSceneManager(context)
    domain = tesk_gpu._build_turbid_domain_vulkan(context, scene, scene.shader_dir, two_owner_request(),
                                                  {"seed": 5, "sample_budget": 24})["domain_id"]
    samples = tesk_gpu._debug_turbid_domain_samples_vulkan(scene, domain)
    token = tesk_gpu._build_turbid_state_vulkan(scene, domain, state_of(samples))
    assert (token["backend"], token["workflow"], token["executor"]) == (
        "vulkan", "turbid_state_residency", "vulkan.slang.turbid_state")
    assert token["domain_id"] == domain and token["stage"] == "generic"
    report = tesk_gpu._debug_turbid_state_residency_vulkan(scene)
    (entry,) = report["states"]
    assert entry["state_id"] == token["state_id"] and entry["sample_count"] == 48
    assert entry["device_resident"] and entry["resident_bytes"] == 48 * RESIDENT_STATE_BYTES
    assert report["residency"] == "vulkan.buffer.device_resident" and report["backend"] == "vulkan"
    # The committed state is the one the CPU aggregates from the same record.
    fields = ["temperature", "apar"]
    device = tesk_gpu._aggregate_turbid_state_vulkan(scene, token, fields)
    cpu = tesk_gpu._aggregate_turbid_state_embree(scene._scene_record(), token, fields)
    for d, c in zip(device["components"], cpu["components"]):
        assert d["p_sun"] == pytest.approx(c["p_sun"], rel=1e-13)
        for name in fields:
            for key, value in c["fields"][name].items():
                assert d["fields"][name][key] == pytest.approx(value, rel=1e-12), (name, key)
    # The CPU's state checks and messages.
    bad = state_of(samples)
    bad["p_sun"][3] = 1.5
    with pytest.raises(ValueError, match=r"^p_sun must be within \[0, 1\]$"):
        tesk_gpu._build_turbid_state_vulkan(scene, domain, bad)
    bad = state_of(samples)
    bad["sample_ids"] = bad["sample_ids"][::-1].copy()
    with pytest.raises(ValueError, match="^Turbid state stable sample ids do not match sample pool$"):
        tesk_gpu._build_turbid_state_vulkan(scene, domain, bad)
    assert len(tesk_gpu._debug_turbid_state_residency_vulkan(scene)["states"]) == 1
    # Extending the domain makes the state incompatible: it and its device copy are dropped.
    tesk_gpu._extend_turbid_samples_vulkan(context, scene, scene.shader_dir, domain, {"seed": 5, "sample_budget": 32})
    assert tesk_gpu._debug_turbid_state_residency_vulkan(scene)["states"] == []


@pytest.mark.slow  # first use compiles the leaf RRT shader (minutes on a busy lavapipe)
def test_process_states_on_a_device_domain_are_device_resident(context):
    from test_turbid_radiation import radiation_request
    from test_vulkan_turbid import medium_scene
    scene = medium_scene(context, [0, 0, 0], [1, 1, 1], 2.0, 0)
    # The unit cube of medium 0 as a domain whose owner the radiation request names.
    cube = dict(component([0, 0, 0], [1, 1, 1], density=2.0), instance_id=11)
    domain = tesk_gpu._build_turbid_domain_vulkan(context, scene, scene.shader_dir, descriptor(components=[cube]),
                                                  {"seed": 3, "sample_budget": 32})["domain_id"]
    token = tesk_gpu._execute_turbid_radiation_field_vulkan(scene, domain, radiation_request(rho=0.1, tau=0.05))
    (entry,) = tesk_gpu._debug_turbid_state_residency_vulkan(scene)["states"]
    assert entry["state_id"] == token["state_id"] and entry["band_count"] == 1
    assert entry["device_resident"] and entry["resident_bytes"] == 32 * RESIDENT_STATE_BYTES


def test_weighted_reduction_on_the_device_equals_the_cpu(context):
    scene = tesk_gpu.VulkanSceneManager(context)
    out = tesk_gpu._test_turbid_weighted_reduction_vulkan(scene, [1.0, 3.0], [1.0, 1.0])
    assert {k: out[k] for k in ("mean", "second_moment", "variance", "sunlit_mean", "shaded_mean")} == {
        "mean": 2.0, "second_moment": 5.0, "variance": 1.0, "sunlit_mean": 2.0, "shaded_mean": 2.0}
    assert (out["backend"], out["workflow"], out["executor"]) == (
        "vulkan", "turbid_state_weighted_reduction_test", "vulkan.slang.turbid_state_weighted_test")
    rng = np.random.default_rng(4)
    values = rng.normal(300.0, 7.0, 257).astype(np.float32).tolist()  # float32 values: no rounding
    weights = rng.uniform(0.01, 2.0, 257).tolist()
    device = tesk_gpu._test_turbid_weighted_reduction_vulkan(scene, values, weights)
    cpu = tesk_gpu._test_turbid_weighted_reduction_embree(tesk_gpu.EmbreeSceneManager(), values, weights)
    assert device["mean"] == cpu["mean"]  # the same products added in the same order
    for key in ("second_moment", "variance"):
        assert device[key] == pytest.approx(cpu[key], rel=1e-12), key
    for values, weights, message in (([1.0], [1.0, 2.0], "^weighted Turbid reduction requires equally-sized"),
                                     ([1.0, float("nan")], [1.0, 1.0], "^weighted Turbid reduction input must be "),
                                     ([1.0], [0.0], "^weighted Turbid reduction input must be finite and positive$"),
                                     ([1e300], [1.0], "^Vulkan weighted Turbid reduction supports float32 values$")):
        with pytest.raises(ValueError, match=message):
            tesk_gpu._test_turbid_weighted_reduction_vulkan(scene, values, weights)


# ---- random requests: documented exceptions only, and a failure changes nothing -----------------

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

BAD = [None, "text", -1, 0, 1.5, float("nan"), 2**64, 2**22, [], {}, np.zeros(3, np.float32), np.uint64([7])]
DOCUMENTED = (ValueError, TypeError, IndexError, OverflowError, RuntimeError, MemoryError)


@pytest.fixture(scope="module")
def fuzz_scene(context):
    """A device scene holding one cube domain and one state of it."""
    scene = tesk_gpu.VulkanSceneManager(context)
    domain = tesk_gpu._build_turbid_domain_vulkan(context, scene, scene.shader_dir, descriptor(),
                                                  {"seed": 3, "sample_budget": 16})["domain_id"]
    samples = tesk_gpu._debug_turbid_domain_samples_vulkan(scene, domain)
    tesk_gpu._build_turbid_state_vulkan(scene, domain, state_of(samples))
    return scene, domain


def mutated(base, data):
    """`base` with one key replaced by a bad value or removed (or unchanged)."""
    out = dict(base)
    key = data.draw(st.sampled_from([None, *base]))
    if key is not None:
        action = data.draw(st.sampled_from(["replace", "remove"]))
        if action == "remove":
            del out[key]
        else:
            out[key] = data.draw(st.sampled_from(BAD))
    return out


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_random_domain_and_state_requests_fail_cleanly(context, fuzz_scene, data):
    scene, domain = fuzz_scene
    domain_id = data.draw(st.sampled_from([domain, domain + 1, -1, 2**64, None, "1"]))
    config = mutated({"seed": 3, "sample_budget": 20, "quality": "preview"}, data)
    calls = {
        "preflight": lambda: tesk_gpu._preflight_turbid_sampling_vulkan(scene, config),
        "extend": lambda: tesk_gpu._extend_turbid_samples_vulkan(context, scene, scene.shader_dir, domain_id,
                                                                 config),
        "build": lambda: tesk_gpu._build_turbid_domain_vulkan(context, scene, scene.shader_dir,
                                                              mutated(descriptor(key=21), data), config),
        "state": lambda: tesk_gpu._build_turbid_state_vulkan(
            scene, domain, mutated(state_of(tesk_gpu._debug_turbid_domain_samples_vulkan(scene, domain)), data)),
        "revisions": lambda: tesk_gpu._turbid_domain_revisions_vulkan(scene, domain_id),
        "samples": lambda: tesk_gpu._debug_turbid_domain_samples_vulkan(scene, domain_id),
        "reduction": lambda: tesk_gpu._test_turbid_weighted_reduction_vulkan(
            scene, data.draw(st.sampled_from([[1.0], [1.0, 2.0], [float("inf")], "ab", [1e39]])),
            data.draw(st.sampled_from([[1.0], [0.5, 0.5], [-1.0], [float("nan")]]))),
    }
    name = data.draw(st.sampled_from(sorted(calls)))

    def snapshot():
        return (tesk_gpu._debug_turbid_residency_vulkan(scene), tesk_gpu._debug_turbid_state_residency_vulkan(scene),
                tesk_gpu._debug_turbid_scene_relations_vulkan(scene)["relation_revision"])

    before = snapshot()
    try:
        calls[name]()
    except DOCUMENTED:
        assert snapshot() == before, name
