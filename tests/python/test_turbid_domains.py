"""Turbid domains: relation tables, leaf-area sampling and the domain registry."""

import math

import numpy as np
import pytest

import tesk_gpu

CUBE_V = np.array([[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0], [0, 0, 1], [1, 0, 1], [1, 1, 1], [0, 1, 1]],
                  np.float32)
CUBE_T = np.array([[0, 2, 1], [0, 3, 2], [4, 5, 6], [4, 6, 7], [0, 1, 5], [0, 5, 4], [1, 2, 6], [1, 6, 5],
                   [2, 3, 7], [2, 7, 6], [3, 0, 4], [3, 4, 7]], np.uint32)
TETRA_V = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], np.float32)
TETRA_T = np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]], np.uint32)
REVISIONS = ("domain", "geometry", "transport", "property", "illumination", "microclimate", "sampling")


def component(bounds_min, bounds_max, xform=None, lad="spherical", medium=5, instance=3, density=1.5):
    return {"instance_id": instance, "component_id": 4, "medium_id": medium, "geometry_id": 6,
            "object_to_world": xform if xform is not None else [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0],
            "bounds_min": bounds_min, "bounds_max": bounds_max, "leaf_area_density": density,
            "leaf_length": 0.05, "leaf_width": 0.03, "sidedness": 1, "leaf_angle_distribution": lad,
            "closed_orientation": 1, "property_ids": [1, 2, 3, 4]}


def descriptor(vertices=CUBE_V, triangles=CUBE_T, components=None, key=9, **config):
    d = {"domain_key": key, "vertices": vertices, "triangles": triangles,
         "components": components or [component([0, 0, 0], [1, 1, 1])], "seed": 17, "quality": "preview"}
    d.update({f"{r}_revision": 1 for r in REVISIONS})
    d.update(config)
    return d


def sample(**kw):
    return tesk_gpu._turbid_sampling_debug(descriptor(**kw))


def relations_of(d):
    """The synthesised relation table of a descriptor, as the host would pass it."""
    scene = tesk_gpu.EmbreeSceneManager()
    tesk_gpu._build_turbid_domain_embree(scene, d, {"seed": 1, "sample_budget": 8})
    r = tesk_gpu._debug_turbid_scene_relations_embree(scene)
    return {"contract_revision": 1, "relation_revision": 7, "owners": r["owners"], "parts": r["parts"],
            "overlaps": r["overlaps"], "vertices": r["vertices"], "triangles": r["triangles"]}


def validate(relations):
    scene = tesk_gpu.EmbreeSceneManager()
    return tesk_gpu._build_turbid_domains_embree(scene, [descriptor(sample_budget=8)], relations)


# ---- relations ----------------------------------------------------------------------------------

def test_relation_rules_in_order_with_exact_messages():
    good = relations_of(descriptor())
    assert validate(good)[0]["sample_count"] == 8

    def broken(**changes):
        r = {k: (list(map(dict, v)) if k in ("owners", "parts") else v) for k, v in good.items()}
        for key, fn in changes.items():
            fn(r) if callable(fn) else r.__setitem__(key, fn)
        return r

    def part(**values):
        return lambda r: r["parts"][0].update(values)

    cases = [
        (broken(contract_revision=2, relation_revision=0), "incompatible Turbid scene relation contract revision"),
        (broken(relation_revision=0, owners=[{}]), "Turbid scene relation revision must be non-zero"),
        (broken(o=lambda r: r["owners"][0].update(medium_id=2**64 - 1)),
         "Turbid scene owner stable identifier is reserved"),
        (broken(o=lambda r: r["owners"].append(dict(r["owners"][0]))),
         "duplicate Turbid scene owner or medium identifier"),
        (broken(p=part(backend_instance_id=-1)), "invalid Turbid scene part ownership or identity"),
        (broken(p=part(alias_medium_id=5, shift=[1, 0, 0])), "invalid or duplicate Turbid periodic alias identity"),
        (broken(p=part(bounds_max=[0, 1, 1])), "invalid Turbid scene part bounds or shift"),
        (broken(p=part(shift=[1, 0, 0])), "Turbid scene part alias/shift structure is inconsistent"),
        (broken(p=part(volume=0.0)), "Turbid scene part volume must be positive"),
        (broken(p=part(triangle_count=3)), "Turbid scene part geometry range is invalid"),
        (broken(p=part(vertex_count=7)), "Turbid scene part triangle crosses a geometry range"),
        (broken(vertices=np.where(CUBE_V == 1, np.float32(np.inf), CUBE_V)),
         "Turbid scene part vertex must be finite"),
        (broken(p=part(bounds_max=[1.001, 1, 1])), "Turbid scene part bounds do not match authoritative geometry"),
        (broken(triangles=np.vstack([CUBE_T[:11], [[2, 2, 6]]])), "Turbid scene part contains a degenerate face"),
        (broken(triangles=np.vstack([CUBE_T[:11], CUBE_T[11, ::-1]])),
         "Turbid scene part is not a consistently oriented closed surface"),
        (broken(p=part(volume=1.001)), "Turbid scene part volume does not match authoritative geometry"),
        (broken(overlaps=np.array([[5, 3]], np.uint64)), "invalid Turbid global overlap relation"),
    ]
    for relations, message in cases:
        with pytest.raises(ValueError) as info:
            validate(relations)
        assert str(info.value) == message, message
    # One ulp off passes; the inward-wound cube passes (|S|).
    ulp = broken(p=part(bounds_max=[float(np.nextafter(np.float32(1), np.float32(2))), 1, 1]))
    validate(ulp)
    # An inward-wound table passes every rule of the table and is then refused by coverage,
    # because the domain's boundary is wound outward.
    with pytest.raises(ValueError, match="^Turbid domain/relation triangle mismatch$"):
        validate(broken(triangles=CUBE_T[:, ::-1].copy()))
    with pytest.raises(ValueError, match="^Turbid scene relations must be supplied once per batch$"):
        tesk_gpu._build_turbid_domains_embree(tesk_gpu.EmbreeSceneManager(),
                                              [descriptor(sample_budget=8, scene_relations=good)], good)


def test_overlap_pairs_and_coverage_messages():
    two = descriptor(vertices=np.vstack([CUBE_V, CUBE_V + 2]), triangles=np.vstack([CUBE_T, CUBE_T + 8]),
                     components=[component([0, 0, 0], [1, 1, 1]),
                                 component([2, 2, 2], [3, 3, 3], medium=8, instance=4)],
                     component_vertex_offsets=np.array([0, 8, 16], np.uint64),
                     component_triangle_offsets=np.array([0, 12, 24], np.uint64), sample_budget=8)
    good = relations_of(two)
    scene = tesk_gpu.EmbreeSceneManager()
    good["overlaps"] = np.array([[5, 8], [5, 8]], np.uint64)
    with pytest.raises(ValueError, match="^duplicate Turbid global overlap relation$"):
        tesk_gpu._build_turbid_domains_embree(scene, [two], good)
    good["overlaps"] = np.array([[5, 8]], np.uint64)
    assert len(tesk_gpu._build_turbid_domains_embree(scene, [two], good)) == 1
    with pytest.raises(ValueError, match="^Turbid relation table contains an unowned resident$"):
        tesk_gpu._build_turbid_domains_embree(scene, [descriptor(sample_budget=8)], good)
    moved = dict(good, vertices=good["vertices"] + np.float32(0))
    moved["vertices"][0, 0] = -0.5
    moved["parts"] = [dict(p) for p in good["parts"]]
    moved["parts"][0]["bounds_min"] = [-0.5, 0, 0]
    moved["parts"][0]["volume"] = relations_volume(moved["vertices"][:8], CUBE_T)
    with pytest.raises(ValueError, match="^Turbid domain/relation vertex mismatch$"):
        tesk_gpu._build_turbid_domains_embree(scene, [two], moved)


def relations_volume(v, t):
    v = v.astype(np.float64)
    a, b, c = v[t[:, 0]] - v[0], v[t[:, 1]] - v[0], v[t[:, 2]] - v[0]
    return abs(np.sum(np.einsum("ij,ij->i", a, np.cross(b, c)))) / 6


# ---- sampling -----------------------------------------------------------------------------------

def chi_square_ok(counts, expected):
    """Chi-square against expected counts at the 0.1 % level (Wilson-Hilferty)."""
    stat = float(np.sum((counts - expected) ** 2 / expected))
    k = len(counts) - 1
    limit = k * (1 - 2 / (9 * k) + 3.09 * math.sqrt(2 / (9 * k))) ** 3
    return stat < limit


@pytest.mark.parametrize("shape", ["box", "tetra"])
def test_positions_are_uniform_in_the_volume_and_weights_sum_to_leaf_area(shape):
    # A placed component: scaled by (2, 1, 3) and shifted.
    xform = [2, 0, 0, 1, 0, 1, 0, -1, 0, 0, 3, 0.5]
    v, t = (CUBE_V, CUBE_T) if shape == "box" else (TETRA_V, TETRA_T)
    n = 4096
    out = sample(vertices=v, triangles=t, components=[component([1, -1, 0.5], [3, 0, 3.5], xform)], sample_budget=n)
    local = (out["position"] - [1, -1, 0.5]) / [2, 1, 3]
    volume = 6.0 if shape == "box" else 1.0
    assert out["weight"].sum() == pytest.approx(1.5 * volume, rel=1e-5)
    if shape == "box":
        cells = np.floor(local * 4).clip(0, 3).astype(int)
        counts = np.bincount(cells[:, 0] * 16 + cells[:, 1] * 4 + cells[:, 2], minlength=64)
        assert chi_square_ok(counts, np.full(64, n / 64))
        assert np.allclose(local.mean(axis=0), 0.5, atol=4 * math.sqrt(1 / 12 / n))
    else:
        assert np.all(local.sum(axis=1) <= 1 + 1e-5) and np.all(local >= -1e-6)
        # x of a uniform point in the unit tetrahedron has density 3 (1 - x)^2: F = 1 - (1 - x)^3.
        u = 1 - (1 - local[:, 0]) ** 3
        counts = np.bincount(np.floor(u * 16).clip(0, 15).astype(int), minlength=16)
        assert chi_square_ok(counts, np.full(16, n / 16))
        assert np.allclose(local.mean(axis=0), 0.25, atol=4 * math.sqrt(3 / 80 / n))


CDF = {
    "spherical": lambda t: 1 - np.cos(t),
    "planophile": lambda t: 2 / np.pi * (t + np.sin(2 * t) / 2),
    "erectophile": lambda t: 2 / np.pi * (t - np.sin(2 * t) / 2),
    "plagiophile": lambda t: 2 / np.pi * (t - np.sin(4 * t) / 4),
    "extremophile": lambda t: 2 / np.pi * (t + np.sin(4 * t) / 4),
    "uniform": lambda t: 2 * t / np.pi,
}


@pytest.mark.parametrize("lad", sorted(CDF))
def test_normals_follow_the_leaf_angle_distribution(lad):
    n = 4096
    out = sample(components=[component([0, 0, 0], [1, 1, 1], lad=lad)], sample_budget=n)
    normal = out["normal"].astype(np.float64)
    assert np.allclose(np.linalg.norm(normal, axis=1), 1, atol=1e-5)
    theta = np.arccos(np.clip(normal[:, 2], -1, 1))
    counts = np.bincount(np.floor(CDF[lad](theta) * 16).clip(0, 15).astype(int), minlength=16)
    assert chi_square_ok(counts, np.full(16, n / 16))
    grid = np.linspace(0, np.pi / 2, 20001)
    pdf = np.gradient(CDF[lad](grid), grid)
    mean_cos = np.trapezoid(pdf * np.cos(grid), grid)
    assert abs(np.mean(normal[:, 2]) - mean_cos) < 4 * np.std(normal[:, 2]) / math.sqrt(n)
    phi = np.arctan2(normal[:, 1], normal[:, 0]) % (2 * np.pi)
    assert chi_square_ok(np.bincount((phi / (2 * np.pi) * 8).astype(int).clip(0, 7), minlength=8),
                         np.full(8, n / 8))


def test_sampling_is_deterministic_prefix_stable_and_seeded():
    runs = [sample(sample_budget=512, num_threads=t) for t in (1, 2, 3)]
    for other in runs[1:]:
        for key in ("sample_id", "position", "normal", "weight"):
            assert other[key].tobytes() == runs[0][key].tobytes()
    more = sample(sample_budget=4096)
    for key in ("sample_id", "position", "normal"):
        assert more[key][:512].tobytes() == runs[0][key].tobytes()
    assert more["weight"][0] == pytest.approx(runs[0]["weight"][0] / 8)
    other_seed = sample(sample_budget=512, seed=18)
    assert not np.array_equal(other_seed["position"], runs[0]["position"])
    assert len(sample()["sample_id"]) == 512 and len(sample(quality="standard")["weight"]) == 4096
    assert runs[0]["semantics"] == "scientific_leaf_area_integration_point"


def test_bad_boundaries_and_configurations():
    def fails(exc, message, **kw):
        with pytest.raises(exc) as info:
            sample(**kw)
        assert str(info.value) == message

    fails(ValueError, "Turbid closed triangle boundary is open", triangles=CUBE_T[:11])
    flipped = CUBE_T.copy()
    flipped[3] = flipped[3, ::-1]
    fails(ValueError, "Turbid closed triangle boundary has inconsistent orientation", triangles=flipped)
    flat = CUBE_V.copy()
    flat[[1, 2], :] = flat[[0, 3], :]  # two vertices collapsed onto others: zero-area faces
    fails(ValueError, "Turbid closed triangle boundary contains a degenerate triangle", vertices=flat)
    # Two tetrahedra sharing one vertex: a bow-tie vertex (self-touching boundary).
    v2 = np.vstack([TETRA_V, -TETRA_V[1:]])
    t2 = np.vstack([TETRA_T, [[0, 5, 4], [0, 4, 6], [0, 6, 5], [4, 5, 6]]]).astype(np.uint32)
    fails(ValueError, "Turbid closed triangle boundary has a bow-tie/non-manifold vertex",
          vertices=v2, triangles=t2, components=[component([-1, -1, -1], [1, 1, 1])])
    fails(ValueError, "Turbid closed triangle boundary is degenerate or has wrong orientation",
          triangles=CUBE_T[:, ::-1].copy())
    inward = [dict(component([0, 0, 0], [1, 1, 1]), closed_orientation=-1)]
    assert len(sample(triangles=CUBE_T[:, ::-1].copy(), components=inward)["weight"]) == 512
    fails(ValueError, "Turbid component bounds do not match closed triangle boundary",
          components=[component([0, 0, 0], [1, 1, 1.01])])
    fails(OverflowError, "Turbid accepted sample budget exceeds the native candidate/index limit",
          sample_budget=4194304)
    scene = tesk_gpu.EmbreeSceneManager()
    assert tesk_gpu._preflight_turbid_sampling_embree(scene, {"seed": 1, "sample_budget": 4194303}) == 4194303
    assert tesk_gpu._preflight_turbid_sampling_embree(scene, {"seed": 1, "quality": "high"}) == 16384
    fails(ValueError, "unknown de Wit leaf-angle distribution: conical",
          components=[component([0, 0, 0], [1, 1, 1], lad="conical")])
    fails(ValueError, "unknown Turbid sampling quality: best", quality="best")
    fails(ValueError, "domain revision must be non-zero", domain_revision=0)
    # A sliver whose volume is below 1/1024 of its box cannot reach the budget.
    sliver = np.array([[0, 0, 0], [1, 1, 1], [1, 0, 0], [1, 0.0005, 0.0002]], np.float32)
    v = sliver.astype(np.float64)
    assert relations_volume(v, TETRA_T) < 1 / 1024 * np.prod(v.max(0) - v.min(0))
    fails(RuntimeError,
          "Turbid boundary acceptance was too low for the checked candidate limit. No fallback was performed.",
          vertices=sliver, triangles=TETRA_T if relations_volume(v, TETRA_T) > 0 else TETRA_T,
          components=[component([0, 0, 0], [1, 1, 1], density=1.0)], sample_budget=4)


# ---- registry -----------------------------------------------------------------------------------

def test_build_extend_revisions_and_stale_handles():
    scene = tesk_gpu.EmbreeSceneManager()
    record = tesk_gpu._build_turbid_domain_embree(scene, descriptor(), {"seed": 3, "sample_budget": 64})
    assert (record["resident_revision"], record["build_count"], record["extension_count"]) == (1, 1, 0)
    assert record["executor"] == "embree.cpp.turbid_domain" and record["residency"] == "embree.cpp.host"
    domain = record["domain_id"]
    same = tesk_gpu._extend_turbid_samples_embree(scene, domain, {"seed": 3, "sample_budget": 64})
    assert same == record
    before = tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)
    grown = tesk_gpu._extend_turbid_samples_embree(scene, domain, {"seed": 3, "sample_budget": 256})
    assert grown["sampling_revision"] >= 2 and grown["resident_revision"] == 2 and grown["extension_count"] == 1
    after = tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)
    assert after["position"][:64].tobytes() == before["position"].tobytes()
    assert after["weight"].sum() == pytest.approx(1.5, rel=1e-5)
    with pytest.raises(ValueError, match="^Changing the Turbid seed requires a domain rebuild$"):
        tesk_gpu._extend_turbid_samples_embree(scene, domain, {"seed": 4, "sample_budget": 512})
    stale = "^Stale TurbidDomain handle belongs to another scene/domain. No fallback was performed.$"
    with pytest.raises(RuntimeError, match=stale):
        tesk_gpu._turbid_domain_revisions_embree(tesk_gpu.EmbreeSceneManager(), domain)
    # Rebuilding the same domain key retires the old handle.
    rebuilt = tesk_gpu._build_turbid_domain_embree(scene, descriptor(), {"seed": 3, "sample_budget": 64})
    assert rebuilt["domain_id"] > domain
    with pytest.raises(RuntimeError, match=stale):
        tesk_gpu._turbid_domain_revisions_embree(scene, domain)
    assert tesk_gpu._test_turbid_domain_id_exhaustion() == {
        "last_id": 2**64 - 2, "first_exhausted": True, "second_exhausted": True, "reused": False}


@pytest.mark.parametrize("stage", ["derived_prune_stage", "table_stage", "table_replace", "removal"])
def test_injected_commit_failures_change_nothing(stage):
    scene = tesk_gpu.EmbreeSceneManager()
    domain = tesk_gpu._build_turbid_domain_embree(scene, descriptor(), {"seed": 3, "sample_budget": 32})["domain_id"]
    snapshot = (tesk_gpu._debug_turbid_residency_embree(scene), tesk_gpu._turbid_domain_revisions_embree(scene, domain),
                tesk_gpu._debug_turbid_scene_relations_embree(scene)["relation_revision"])
    tesk_gpu._set_turbid_commit_failure_embree(scene, stage)
    for attempt in (lambda: tesk_gpu._extend_turbid_samples_embree(scene, domain, {"seed": 3, "sample_budget": 64}),
                    lambda: tesk_gpu._build_turbid_domain_embree(scene, descriptor(key=10), {"seed": 1})):
        with pytest.raises(RuntimeError, match=f"^Injected Embree Turbid commit failure: {stage}$"):
            attempt()
        assert (tesk_gpu._debug_turbid_residency_embree(scene), tesk_gpu._turbid_domain_revisions_embree(scene, domain),
                tesk_gpu._debug_turbid_scene_relations_embree(scene)["relation_revision"]) == snapshot
        tesk_gpu._set_turbid_commit_failure_embree(scene, stage)
    tesk_gpu._set_turbid_commit_failure_embree(scene, "")
    tesk_gpu._extend_turbid_samples_embree(scene, domain, {"seed": 3, "sample_budget": 64})
    assert tesk_gpu._debug_turbid_residency_embree(scene)["counters"]["commit_count"] == 2


def test_scenes_with_domains_refuse_to_pickle():
    import pickle

    scene = tesk_gpu.EmbreeSceneManager()
    tesk_gpu._build_turbid_domain_embree(scene, descriptor(), {"seed": 3, "sample_budget": 8})
    with pytest.raises(ValueError, match="holding turbid domains cannot be snapshotted"):
        pickle.dumps(scene)
