"""Time per frame against frame count, ours and Open3D, from the CSV that
bench_fusion_open3d writes: one panel per voxel size, integration alone
(dashed) and integration plus extraction (solid)."""
import csv
import sys
from collections import defaultdict

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def main(csv_path, png_path):
    runs = defaultdict(list)  # (voxel, side) -> [(frames, integrate, total)]
    with open(csv_path, newline="") as f:
        for r in csv.DictReader(f):
            n = int(r["frames"])
            integ = float(r["integrate_ms"])
            total = integ + float(r["extract_ms"])
            runs[(float(r["voxel_mm"]), r["side"])].append((n, integ / n, total / n))
    voxels = sorted({v for v, _ in runs})
    fig, axes = plt.subplots(1, len(voxels), figsize=(5.5 * len(voxels), 4.2), squeeze=False)
    style = {"ours": ("tab:blue", "FusionMeshHelper"), "open3d": ("tab:orange", "Open3D ScalableTSDFVolume")}
    for ax, voxel in zip(axes[0], voxels):
        for side, (color, label) in style.items():
            pts = sorted(runs.get((voxel, side), []))
            if not pts:
                continue
            n = [p[0] for p in pts]
            ax.plot(n, [p[2] for p in pts], "-o", color=color, label=label + ": integrate + extract")
            ax.plot(n, [p[1] for p in pts], "--", color=color, alpha=0.7, label=label + ": integrate")
        ax.set_title(f"{voxel:g} mm voxels")
        ax.set_xlabel("frames fused (640 x 480)")
        ax.set_ylabel("ms per frame")
        ax.set_ylim(bottom=0)
        ax.grid(alpha=0.3)
        ax.legend(fontsize=8)
    fig.suptitle("Range-frame fusion, same frames and threads")
    fig.tight_layout()
    fig.savefig(png_path, dpi=110)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: plot_fusion_open3d.py RESULTS.csv PLOT.png")
    main(sys.argv[1], sys.argv[2])
