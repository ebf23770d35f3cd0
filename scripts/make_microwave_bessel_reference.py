"""Writes tests/data/microwave_bessel_reference.txt: SciPy's J_n, Y_n and H^(1)_n at the orders
and arguments the trunk series uses, the reference the C++ Bessel tests compare against.

Run from the repository root:  .venv/bin/python scripts/make_microwave_bessel_reference.py
"""

import math
import pathlib

import numpy as np
from scipy import special

OUT = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "microwave_bessel_reference.txt"


def series_order(x):
    """Highest order of the trunk series at outer argument x."""
    return math.ceil(x + 4.05 * x ** (1.0 / 3.0) + 2.0)


def orders(limit):
    picks = [0, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 377]
    return sorted({n for n in picks if n <= limit} | {limit})


def reference_points():
    """(kind, z) pairs: kind 'A' checks J, Y and H^(1); kind 'J' checks J only."""
    points = []
    # Outer arguments k·a·sin(zeta): real.
    for x in [0.003, 0.05, 0.7, 1.0, 3.3, 7.9, 12.0, 16.5, 17.5, 33.0, 80.0, 150.0, 420.0]:
        points.append(("A", complex(x, 0.0), series_order(x)))
    # Inner arguments k·a·sqrt(eps - cos^2) of wood permittivities (only J enters the series).
    for ka in [0.3, 2.0, 10.0, 40.0, 100.0]:
        for eps in [complex(5.2, 1.1), complex(18.0, 6.0), complex(35.0, 14.0)]:
            for c in [0.0, 0.6]:
                points.append(("J", ka * np.sqrt(eps - c * c), series_order(ka)))
    # General complex arguments in the right half plane.
    for z in [complex(2, 0.3), complex(8, 1.5), complex(20, 3), complex(60, 12), complex(150, 25),
              complex(5, 7.5), complex(0.4, 0.2), complex(3, 4), complex(1, 2.5), complex(2, 12),
              complex(10, 14), complex(14, 3), complex(30, -6)]:
        points.append(("A", z, series_order(abs(z))))
    return points


def main():
    lines = ["# kind n re(z) im(z) re(J) im(J) re(Y) im(Y) re(H1) im(H1)  (SciPy reference)"]
    for kind, z, limit in reference_points():
        for n in orders(limit):
            j = complex(special.jv(n, z))
            y = complex(special.yv(n, z))
            h = complex(special.hankel1(n, z))
            vals = [z.real, z.imag, j.real, j.imag, y.real, y.imag, h.real, h.imag]
            lines.append(f"{kind} {n} " + " ".join(f"{v:.17g}" for v in vals))
    OUT.parent.mkdir(parents=True, exist_ok=True)
    OUT.write_text("\n".join(lines) + "\n")
    print(f"wrote {len(lines) - 1} reference values to {OUT}")


if __name__ == "__main__":
    main()
