"""Vertical profile through one turbid crown: sunlit fraction, absorbed PAR and the sunlit and
shaded leaf temperatures from the radiation-field and energy-balance processes.

One ellipsoidal crown of spherical leaves stands over a soil plane; the crown is both a scene
medium (what the rays cross) and a resident turbid domain (where the leaf-area samples live).
The radiation process gives each sample its sunlit probability and absorbed shortwave; the
energy balance alternates longwave leaf tracing with per-sample Newton solves. Samples are
binned by height and averaged with their leaf-area weights. Writes out/turbid_profile.png.
Run on its own or from the quickstart demo.
"""

from __future__ import annotations

import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from forest_scene import BAND_WAVELENGTHS_NM, SUN_DIRECTION  # noqa: E402

import tesk_gpu  # noqa: E402

OUT = pathlib.Path(__file__).resolve().parent.parent / "out"
SIGMA = 5.6703744e-8
RADII = np.array([2.5, 2.5, 3.5], np.float32)
CENTRE = np.array([0.0, 0.0, 6.0], np.float32)


def crown_scene():
    """The scene (soil, crown medium 0 on instance 1) and the crown's world transform."""
    scene = tesk_gpu.EmbreeSceneManager()
    scene.set_num_bands(3)
    # soil reflectance, leaf front / back reflectance and transmittance (three bands each)
    scene.upload_spectral_params(np.array([0.08, 0.12, 0.25, 0.06, 0.08, 0.45, 0.05, 0.07, 0.40, 0.04, 0.06, 0.40],
                                          np.float32))
    soil = scene.add_material(0, 0, [])
    leaf = scene.add_material(13, 3, [0.2, 0.17])
    g = tesk_gpu.make_ground_plane(20.0, 20.0, soil, 5.0)
    scene.add_instance(scene.add_mesh(g["vertices"], g["normals"], g["indices"], soil), 0.0, 0.0, 0.0)
    s = tesk_gpu.make_sphere(1.0, [0.0, 0.0, 0.0], 3)
    xform = np.array([RADII[0], 0, 0, CENTRE[0], 0, RADII[1], 0, CENTRE[1], 0, 0, RADII[2], CENTRE[2]], np.float32)
    scene.add_instance_xform(scene.add_mesh(s["vertices"], s["normals"], s["indices"], leaf), xform)
    scene.set_optical_turbid_media([1.2], [0], [1], [0.0], [-1, 0])
    scene.build()
    return scene, s, xform


def crown_domain(scene, sphere, xform, budget):
    component = {"instance_id": 1, "component_id": 1, "medium_id": 1, "geometry_id": 1,
                 "object_to_world": xform.tolist(), "bounds_min": (CENTRE - RADII).tolist(),
                 "bounds_max": (CENTRE + RADII).tolist(), "leaf_area_density": 1.2, "leaf_length": 0.05,
                 "leaf_width": 0.03, "sidedness": 2, "leaf_angle_distribution": "spherical",
                 "closed_orientation": 1, "property_ids": [1, 1, 1, 1]}
    # The domain needs a watertight boundary: weld the mesh's duplicated seam vertices.
    vertices, inverse = np.unique(np.round(np.asarray(sphere["vertices"], np.float64), 5), axis=0,
                                  return_inverse=True)
    triangles = inverse.reshape(-1)[np.asarray(sphere["indices"]).reshape(-1)].reshape(-1, 3)
    d = {"domain_key": 1, "vertices": vertices.astype(np.float32), "triangles": triangles.astype(np.uint32),
         "components": [component], "seed": 5,
         "quality": "standard"}
    d.update({f"{r}_revision": 1 for r in ("domain", "geometry", "transport", "property", "illumination",
                                            "microclimate", "sampling")})
    return tesk_gpu._build_turbid_domain_embree(scene, d, {"seed": 5, "sample_budget": budget})["domain_id"]


def profile_demo(budget: int = 2000) -> None:
    scene, sphere, xform = crown_scene()
    domain = crown_domain(scene, sphere, xform, budget)
    leaf = {"reflectance": [0.06, 0.08, 0.45], "back_reflectance": [0.05, 0.07, 0.40],
            "transmittance": [0.04, 0.06, 0.40]}
    radiation = tesk_gpu._execute_turbid_radiation_field_embree(scene, domain, {
        "contract_revision": 1, "workflow_revision": 1, "wavelengths": list(BAND_WAVELENGTHS_NM),
        "band_widths": [100.0, 100.0, 100.0], "direct_irradiance": [160.0, 150.0, 100.0],
        "sky_radiance": [6.0, 3.0, 1.0], "sun_direction": list(SUN_DIRECTION), "rays_per_sample": 16,
        "max_depth": 6, "seed": 1,
        "owners": [{"instance_id": 1, "component_id": 1, "medium_id": 1, "transport_medium_id": 0,
                    "transport_instance_id": 1, **leaf}]})
    t_air = 298.15
    balance = tesk_gpu._execute_turbid_energy_balance_embree(scene, domain, {
        "contract_revision": 1, "workflow_revision": 1, "source_token": radiation, "air_temperature": t_air,
        "vapor_pressure": 1500.0, "pressure": 101325.0, "wind": 1.5, "sky_lw_radiance": 0.8 * SIGMA * 283.0**4 / np.pi,
        "rays_per_sample": 16, "max_depth": 6, "max_iterations": 10, "convergence_tolerance": 0.05,
        "damping": 1.0, "newton_max_iterations": 50, "newton_tolerance": 1e-4,
        "owners": [{"transport_medium_id": 0, "transport_instance_id": 1, "active": True, "emissivity": 0.97,
                    "sidedness": 2.0, "leaf_width": 0.03, "stomata_sides": 1.0, "sensible_derivative": 15.0,
                    "latent_coefficient": 0.004, "ground_heat": 0.0}]})
    pool = tesk_gpu._debug_turbid_domain_samples_embree(scene, domain)
    ids = list(pool["sample_id"])
    samples = tesk_gpu._aggregate_turbid_state_embree(scene, balance, ["temperature", "apar"], "samples",
                                                      ids)["samples"]
    z = pool["position"][:, 2]
    p = np.array([s["p_sun"] for s in samples])
    apar = np.array([s["p_sun"] * s["sunlit"]["apar"] + (1 - s["p_sun"]) * s["shaded"]["apar"] for s in samples])
    t_lit = np.array([s["sunlit"]["temperature"] for s in samples]) - 273.15
    t_shade = np.array([s["shaded"]["temperature"] for s in samples]) - 273.15
    edges = np.linspace(z.min(), z.max(), 11)
    centres = 0.5 * (edges[1:] + edges[:-1])
    which = np.clip(np.digitize(z, edges) - 1, 0, 9)
    mean = lambda v: np.array([v[which == k].mean() for k in range(10)])  # noqa: E731 (equal weights)

    fig, axes = plt.subplots(1, 3, figsize=(11, 4.2), sharey=True)
    axes[0].plot(mean(p), centres, "o-", color="goldenrod")
    axes[0].set_xlabel("sunlit fraction")
    axes[0].set_ylabel("height (m)")
    axes[1].plot(mean(apar), centres, "o-", color="green")
    axes[1].set_xlabel("absorbed PAR (µmol m⁻² s⁻¹)")
    axes[2].plot(mean(t_lit), centres, "o-", color="orangered", label="sunlit")
    axes[2].plot(mean(t_shade), centres, "o-", color="steelblue", label="shaded")
    axes[2].axvline(t_air - 273.15, color="grey", lw=0.8, ls="--", label="air")
    axes[2].set_xlabel("leaf temperature (°C)")
    axes[2].legend(loc="upper center")
    fig.suptitle(f"Profile through one turbid crown ({len(ids)} leaf-area samples, energy balance: "
                 f"{balance['iterations']} iterations)")
    fig.tight_layout()
    OUT.mkdir(exist_ok=True)
    path = OUT / "turbid_profile.png"
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"wrote {path}")


if __name__ == "__main__":
    profile_demo()
