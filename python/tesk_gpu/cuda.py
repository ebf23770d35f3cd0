"""Helpers of the CUDA backend."""

import os


def ptx_path() -> str:
    """The folder of the device programs installed with the module (the `ptx_path` of
    `tesk_gpu.Simulator`)."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "ptx")
