"""Per-epoch time of one kemb build, for timing two builds side by side
(the release wheel against the development build) under farm-bench:
one warm-up call, then one timed call of EPOCHS epochs, saving off. Prints
the milliseconds per epoch and the OpenBLAS kernel in use.

    python bench/epoch.py [CASE] [EPOCHS]      (default: mnist 20)
"""

import sys

import common

case = common.CASES[sys.argv[1] if len(sys.argv) > 1 else "mnist"]
epochs = int(sys.argv[2]) if len(sys.argv) > 2 else 20
x, y = common.make_data(case)
common.kemb_run(case, x, y, 1)
seconds = common.kemb_run(case, x, y, epochs)
kernel = common.openblas().scipy_openblas_get_corename().decode()
print(f"{case.name}: {1e3 * seconds / epochs:.2f} ms per epoch, OpenBLAS {kernel}")
