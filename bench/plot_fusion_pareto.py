"""Time against accuracy on real scans, ours and Open3D, from the CSV that
bench_fusion_real writes: every configuration as a point (total time
against p95 distance of the fused vertices to the reference), labelled with
its voxel size and setting, and each side's Pareto front as a step line."""
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402


def front(points):
    """Points not beaten in both time and accuracy, by accuracy."""
    out = []
    for p in sorted(points, key=lambda p: (p[0], p[1])):
        if not out or p[1] < out[-1][1]:
            out.append(p)
    return out


def main(csv_path, png_path):
    sides = {"ours": [], "open3d": []}
    with open(csv_path, newline="") as f:
        for r in csv.DictReader(f):
            sides[r["side"]].append((float(r["to_ref_p95"]), float(r["total_ms"]), float(r["voxel_mm"]),
                                     float(r["setting"])))
    style = {"ours": ("tab:blue", "o", "FusionMeshHelper (label: voxel mm / sample step)"),
             "open3d": ("tab:orange", "s", "Open3D ScalableTSDFVolume (label: voxel mm / truncation in voxels)")}
    fig, ax = plt.subplots(figsize=(8, 5.5))
    for side, pts in sides.items():
        if not pts:
            continue
        color, marker, name = style[side]
        ax.scatter([p[0] for p in pts], [p[1] for p in pts], color=color, marker=marker, label=name)
        for p in pts:
            ax.annotate(f"{p[2]:g}/{p[3]:g}", (p[0], p[1]), textcoords="offset points", xytext=(4, 3), fontsize=7,
                        color=color)
        f = front(pts)
        ax.step([p[0] for p in f], [p[1] for p in f], where="post", color=color, alpha=0.6)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("p95 distance of the fused surface to the reference (mm)")
    ax.set_ylabel("total time, integrate + extract (ms)")
    ax.grid(alpha=0.3, which="both")
    ax.legend(fontsize=8)
    ax.set_title("Real range scans: time against accuracy")
    fig.tight_layout()
    fig.savefig(png_path, dpi=110)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: plot_fusion_pareto.py RESULTS.csv PLOT.png")
    main(sys.argv[1], sys.argv[2])
