# ---
# A first measurement with the tallyscope package: calibrate, acquire one second of
# coincidences, plot their histogram and save it as a PNG.
#
# Run it as a script, or open it in an editor that knows "# %%" cells (VS Code, Spyder,
# PyCharm, Jupyter with jupytext) and run it cell by cell. Start the panel first:
#     tallyscope --simulate --control-port 5025
# ---

# %% Settings
import os
import sys

import matplotlib

if "ipykernel" not in sys.modules:
    matplotlib.use("Agg")  # run as a plain script: no window needed, the PNG is the result
import matplotlib.pyplot as plt
import numpy as np

import tallyscope

RESOURCE = os.environ.get("TALLYSCOPE_RESOURCE", "TCPIP::127.0.0.1::5025::SOCKET")
SECONDS = float(os.environ.get("TALLYSCOPE_SECONDS", "1"))
OUTPUT = os.environ.get("TALLYSCOPE_PNG", "first_measurement.png")

# %% Connect and calibrate
ts = tallyscope.Tallyscope(RESOURCE)
print(ts.idn)
ts.calibrate(wait=True)

# %% Acquire
# Exactly the records of SECONDS seconds from the first one; the panel's histogram holds the same.
dt = ts.acquire(seconds=SECONDS)
edges, counts = ts.histogram()
stats = ts.statistics()
print(f"{dt.size} coincidences, min {stats['min_ps']} ps, max {stats['max_ps']} ps")

# %% Plot
fig, ax = plt.subplots(figsize=(8, 4.5), dpi=100)
ax.stairs(counts, edges, fill=True, color="#3060a0")
peak = edges[np.argmax(counts)] if counts.size else 0.0
# The panel's histogram spans the peak and ten widths around it; the background beyond is left out.
ax.set_title(f"{dt.size:,} coincidences in {SECONDS:g} s, {counts.sum():,} of them around the peak near {peak:,.0f} ps")
ax.set_xlabel("time difference (ps)")
ax.set_ylabel("coincidences per bin")
ax.grid(alpha=0.3)
fig.tight_layout()
fig.savefig(OUTPUT)
print(f"saved {OUTPUT}")

# %% Done
ts.close()
