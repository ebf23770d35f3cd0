"""SIF emission of scene primitives from the fluorescence process outputs.

`finalize_sif_process_cpu` gives each element a fluorescence yield and its absorbed spectra at
the excitation bands; this module turns them into the per-primitive SIF spectra that
`EmbreeSceneManager.set_primitive_sif_spectra` accepts and a SIF-only render reads.
"""

import numpy as np

__all__ = ["primitive_sif_spectra"]


def primitive_sif_spectra(phi_f, top_selected, bottom_selected, emission_shape):
    """Band-major SIF radiance [n_bands, n_primitives] (W m^-2 sr^-1 per band).

    Each primitive emits phi_f times the excitation it absorbed on both faces (the sums over the
    selected bands of `top_selected` and `bottom_selected`, [n_primitives, n_selected], W m^-2),
    shared equally by its two faces, each a Lambertian emitter (radiance flux / (2 pi)), and
    distributed over the SIF bands by `emission_shape` ([n_bands], non-negative, normalised
    here to sum 1). Raises ValueError for mismatched shapes or a shape without positive weight.
    """
    phi_f = np.asarray(phi_f, np.float64)
    top = np.asarray(top_selected, np.float64)
    bottom = np.asarray(bottom_selected, np.float64)
    shape = np.asarray(emission_shape, np.float64)
    if phi_f.ndim != 1 or top.ndim != 2 or top.shape != bottom.shape or top.shape[0] != phi_f.size:
        raise ValueError("phi_f must be [n] and the selected spectra [n, n_selected]")
    if shape.ndim != 1 or shape.size == 0 or not np.all(np.isfinite(shape)) or (shape < 0).any() \
            or shape.sum() <= 0:
        raise ValueError("emission_shape must be a non-negative [n_bands] array with positive sum")
    flux = phi_f * (top.sum(axis=1) + bottom.sum(axis=1))
    return (np.outer(shape / shape.sum(), flux) / (2.0 * np.pi)).astype(np.float32)
