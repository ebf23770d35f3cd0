"""A forest at noon: leaf temperatures, canopy assimilation per crown and SIF at 740 nm.

Builds a small copy of the quickstart forest and chains the scene processes:

1. the multiband energy balance gives every primitive its absorbed blue, red and near-infrared
   light and its sunlit fraction;
2. the dynamic photosynthesis process solves leaf temperatures, photosynthesis and stomata with
   the scene's longwave exchange recomputed between iterations (soil and bark are held at
   prescribed temperatures); the final temperatures stay in the scene;
3. the static photosynthesis process, at those temperatures, gives sunlit and shaded net
   assimilation, summed per crown;
4. the SIF finalization turns its fluorescence yields and the absorbed excitation into
   per-primitive SIF at 740 nm, rendered in SIF-only mode next to the reflectance image;
5. a thermal render at 10 um shows the committed temperatures as brightness temperatures.

Writes out/forest_noon.png. Run with ``make demo`` (or ``.venv/bin/python
examples/forest_noon.py`` after ``make install``).
"""

from __future__ import annotations

import pathlib
import sys
import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from forest_scene import (BAND_WAVELENGTHS_NM, SKY_RADIANCE, SUN_DIRECTION, SUN_IRRADIANCE,  # noqa: E402
                          build_forest, look_at)

import tesk_gpu  # noqa: E402
from tesk_gpu import sif  # noqa: E402

OUT = pathlib.Path(__file__).resolve().parent.parent / "out"
SOIL, LEAF, BARK = 0, 1, 2
# Per material (soil, leaf, bark) and band: front reflectance, back reflectance, transmittance.
FRONT = np.array([[0.06, 0.10, 0.25], [0.05, 0.07, 0.45], [0.08, 0.12, 0.30]], np.float32)
BACK = np.array([[0.06, 0.10, 0.25], [0.05, 0.07, 0.40], [0.08, 0.12, 0.30]], np.float32)
TRANS = np.array([[0.0, 0.0, 0.0], [0.03, 0.05, 0.45], [0.0, 0.0, 0.0]], np.float32)
#: Spectral width (nm) each band stands for: 400-550, 550-700 and 700-1100 nm.
BAND_WIDTH_NM = np.array([150.0, 150.0, 400.0], np.float32)
AIR_TEMPERATURE = 298.0  # K
SOIL_TEMPERATURE, BARK_TEMPERATURE = 308.0, 300.0
SKY_LONGWAVE = 110.0  # W m-2 sr-1, a clear sky
SIGMA = 5.6703744e-8
C1, C2 = 1.191042972e8, 1.4387769e4  # Planck constants for W m-2 sr-1 um-1 and um K


def brightness_temperature(radiance_per_nm, wavelength_um):
    """Inverse Planck law; NaN where nothing emits (the sky is black in this render)."""
    radiance = np.where(radiance_per_nm > 0, radiance_per_nm * 1000.0, np.nan)  # per um
    return C2 / (wavelength_um * np.log1p(C1 / (wavelength_um ** 5 * radiance)))


def render(scene, camera, spp):
    scene.set_sensor(1, 200, 150, 0.0, 0.0, camera, fov=40.0, projection_type=0)
    return tesk_gpu.simulate_cpu(scene, spp=spp)["payload"]


def main() -> None:
    t_start = time.perf_counter()
    scene = tesk_gpu.EmbreeSceneManager()
    forest = build_forest(scene, n_trees=120, half_size=25.0, crown_subdivisions=2)
    scene.build()
    n = scene.n_primitives()
    geometry = scene.primitive_geometry()
    material = geometry["material_ids"]
    crown = geometry["instance_ids"] - forest.first_crown_instance
    in_crown = (crown >= 0) & (crown < forest.n_trees)
    h = forest.half_size
    camera = look_at([-1.1 * h, -1.1 * h, 0.8 * h], [0.15 * h, 0.15 * h, 0.0])

    reflectance = render(scene, camera, spp=16)

    # 1. Absorbed light per band and face (W m-2 per band after scaling by the band widths).
    front, back, trans = (t[material].T.ravel() for t in (FRONT, BACK, TRANS))
    top, bot, sunlit = scene.run_energy_balance_multiband(
        3, n_samples=8, max_depth=6, sun_irradiance=SUN_IRRADIANCE, sky_diffuse_radiance=SKY_RADIANCE,
        sun_dir_x=SUN_DIRECTION[0], sun_dir_y=SUN_DIRECTION[1], sun_dir_z=SUN_DIRECTION[2],
        sw_reflectance=front, sw_back_reflectance=back, sw_transmittance=trans)
    width = BAND_WIDTH_NM[:, None]
    absorbed_top = ((1 - FRONT[material].T - TRANS[material].T) * top * width).T.astype(np.float32)
    absorbed_bot = ((1 - BACK[material].T - TRANS[material].T) * bot * width).T.astype(np.float32)
    # Direct sunlight absorbed by the sunlit part of the face turned to the sun.
    cos_sun = np.abs(geometry["normals"] @ np.array(SUN_DIRECTION, np.float32))
    direct = (sunlit * cos_sun)[:, None] * (np.array(SUN_IRRADIANCE) * BAND_WIDTH_NM)[None, :] \
        * (1 - FRONT[material] - TRANS[material])
    absorbed_direct = np.minimum(direct, absorbed_top + absorbed_bot).astype(np.float32)
    shortwave = (absorbed_top + absorbed_bot).sum(axis=1).astype(np.float32)

    leaf_traits = {"vcmax25": 60.0, "jmax25": 110.0, "rd25": 1.0, "ball_berry_slope": 9.0,
                   "ball_berry_intercept": 0.01, "quantum_yield": 0.05}
    static_request = {
        "absorbed_top": absorbed_top, "absorbed_bottom": absorbed_bot, "absorbed_direct": absorbed_direct,
        "wavelengths": np.array(BAND_WAVELENGTHS_NM, np.float32), "sunlit_fraction": sunlit,
        "temperature_sunlit": np.full(n, AIR_TEMPERATURE, np.float32),
        "temperature_shaded": np.full(n, AIR_TEMPERATURE, np.float32),
        "material_ids": material.astype(np.int32), "material_active": np.array([0, 1, 0], np.int32),
        "material_fluorescent": np.array([0, 1, 0], np.int32),
        **{k: np.full(3, v, np.float32) for k, v in leaf_traits.items()},
        "co2": 410.0, "relative_humidity": 0.55, "max_iterations": 60, "tolerance": 1e-3,
    }
    first = tesk_gpu.execute_photosynthesis_process_static_cpu(scene, static_request)["payload"]

    # 2. Leaf temperatures with the longwave exchange; soil and bark held at fixed temperatures.
    leaf = material == LEAF
    initial = np.where(material == SOIL, SOIL_TEMPERATURE,
                       np.where(material == BARK, BARK_TEMPERATURE, AIR_TEMPERATURE)).astype(np.float32)
    scene.set_primitive_emissivities(np.where(leaf, 0.97, 0.95).astype(np.float32))
    full = lambda v: np.full(n, v, np.float32)
    dynamic = tesk_gpu.execute_photosynthesis_process_dynamic_cpu(scene, {
        "active": leaf.astype(np.int32), "fluorescent": leaf.astype(np.int32), "apar": first["apar"],
        "absorbed_shortwave": shortwave, "initial_temperature": initial, "emissivity": full(0.97),
        "sidedness": np.where(leaf, 2.0, 1.0).astype(np.float32), "leaf_width": full(0.05),
        "stomata_sides": full(1.0), **{k: full(v) for k, v in leaf_traits.items()},
        "co2": 410.0, "relative_humidity": 0.55, "air_temperature": AIR_TEMPERATURE, "vapor_pressure": 1750.0,
        "pressure": 101.325, "wind": 1.5, "sky_lw_radiance": SKY_LONGWAVE, "n_samples": 4, "max_iterations": 15,
        "convergence_tolerance": 0.05, "damping": 0.7, "physiology_max_iterations": 40,
        "physiology_tolerance": 1e-3})["payload"]
    print(f"dynamic process: {dynamic['iterations']} iterations, converged {dynamic['converged']}, "
          f"leaf temperature {dynamic['temperature'][leaf].min() - 273.15:.1f} to "
          f"{dynamic['temperature'][leaf].max() - 273.15:.1f} degC")

    # 3. Static photosynthesis at the solved temperatures; assimilation per crown (umol s-1).
    static_request["temperature_sunlit"] = dynamic["temperature"]
    static_request["temperature_shaded"] = dynamic["temperature"]
    photo = tesk_gpu.execute_photosynthesis_process_static_cpu(scene, static_request)["payload"]
    per_crown = np.bincount(crown[in_crown], weights=(photo["an"] * geometry["areas"])[in_crown],
                            minlength=forest.n_trees)
    print(f"canopy assimilation {per_crown.sum():.0f} umol s-1 over {forest.n_trees} crowns "
          f"({per_crown.mean():.1f} on average)")

    # 4. SIF at 740 nm from the yields and the absorbed blue and red excitation.
    fin = tesk_gpu.finalize_sif_process_cpu(scene, {
        "absorbed_top": absorbed_top, "absorbed_bottom": absorbed_bot, "material_ids": material.astype(np.int32),
        "material_phi_f": np.zeros(3, np.float32), "element_phi_f": photo["phi_f"],
        "selected_band_indices": np.array([0, 1], np.int32)})["payload"]
    sif_740 = sif.primitive_sif_spectra(fin["phi_f"], fin["top_selected"], fin["bottom_selected"], [1.0])
    scene.clear_for_reuse()
    scene.set_num_bands(1)
    scene.upload_spectral_params(np.array([0.08, 0.45, 0.42, 0.45, 0.25], np.float32))
    scene.add_material(0, 0, [])
    scene.add_material(13, 1, [0.45, 0.45])
    scene.add_material(0, 4, [])
    scene.build_reuse_gas()
    scene.set_primitive_sif_spectra(sif_740.ravel(), 1)
    scene.set_sif_only_mode(True)
    sif_image = render(scene, camera, spp=16)

    # 5. Thermal render of the committed temperatures at 10 um (emissivities as above).
    scene.set_sif_only_mode(False)
    scene.clear_for_reuse()
    scene.set_num_bands(1)
    scene.upload_spectral_params(np.array([0.95, 0.97, 0.95], np.float32))
    for offset in range(3):  # the per-primitive temperatures override the material temperature
        scene.add_material(0, offset, [0.0, 0.0, AIR_TEMPERATURE])
    scene.set_thermal_mode(True, [10000.0])
    scene.build_reuse_gas()
    thermal = render(scene, camera, spp=8)
    brightness = brightness_temperature(thermal[..., 0], 10.0) - 273.15

    OUT.mkdir(exist_ok=True)
    fig, axes = plt.subplots(2, 2, figsize=(12, 9), constrained_layout=True)
    nir = reflectance[..., 2]
    axes[0, 0].imshow(nir[::-1], cmap="gray", vmin=0, vmax=np.percentile(nir, 99))
    axes[0, 0].set_title("Reflected radiance, 860 nm")
    im = axes[0, 1].imshow(sif_image[::-1, :, 0], cmap="viridis")
    fig.colorbar(im, ax=axes[0, 1], label="W m-2 sr-1 (740 nm band)")
    axes[0, 1].set_title("SIF at 740 nm (SIF-only render)")
    # Pixels at crown silhouettes mix canopy and black sky; the colour range leaves them out.
    lo, hi = np.nanpercentile(brightness, [3.0, 99.5])
    im = axes[1, 0].imshow(brightness[::-1], cmap="inferno", vmin=lo, vmax=hi)
    fig.colorbar(im, ax=axes[1, 0], label="degC")
    axes[1, 0].set_title("Brightness temperature at 10 um")
    order = np.argsort(forest.crown_centre_z)
    ax = axes[1, 1]
    sc = ax.scatter(forest.tree_xy[order, 0], forest.tree_xy[order, 1], c=per_crown[order], cmap="Greens",
                    s=(forest.crown_radius[order] * 9.0) ** 2, edgecolors="k", linewidths=0.3)
    fig.colorbar(sc, ax=ax, label="net assimilation per crown (umol s-1)")
    ax.set_aspect("equal")
    ax.set_xlim(-h, h)
    ax.set_ylim(-h, h)
    ax.set_title("Canopy assimilation per crown (top view)")
    for a in axes.ravel()[:3]:
        a.set_axis_off()
    path = OUT / "forest_noon.png"
    fig.savefig(path, dpi=100)
    print(f"wrote {path} in {time.perf_counter() - t_start:.1f} s")


if __name__ == "__main__":
    main()
