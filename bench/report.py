"""Turns bench/results/*.json into the tables of docs/performance.md (the
part between the bench markers) and the sweep plot docs/performance_sweep.png.

    python bench/report.py [--results bench/results] [--doc docs/performance.md]
"""

import argparse
import json
import os

BEGIN, END = "<!-- bench:begin -->", "<!-- bench:end -->"


def load(results, name):
    path = os.path.join(results, name)
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def environment_lines(env, load_after=None):
    torch = f"torch {env.get('torch', '-')} ({env.get('torch_threads', '-')} threads)"
    flags = ", ".join(env.get("cpu_flags", [])) or "not read"
    kemb = (f"kemb on {env['kemb_threads']} threads (checked before every call)"
            if "kemb_threads" in env else "kemb")
    lines = [f"Measured {env['date']} on {env['cpu']} ({env['cores']} cores; vector flags "
             f"{flags}), Python {env['python']}, NumPy {env['numpy']}, {torch}, {kemb}, "
             f"OpenBLAS core {env['openblas_core']} ({env['openblas_threads']} threads), "
             f"OPENBLAS_CORETYPE {env['openblas_env']['OPENBLAS_CORETYPE'] or 'unset'}."]
    if "load_average" in env:
        load = "Load average (1, 5, 15 min) at the start: " + load_text(env["load_average"])
        if load_after:
            load += ", at the end: " + load_text(load_after)
        lines.append(load + ".")
    return lines + [""]


def load_text(load):
    return " / ".join(f"{x:.2f}" for x in load)


def train_table(train):
    lines = ["| case | kemb ms | kemb saving (disk) ms | kemb saving (tmpfs) ms | torch ms | "
             "numpy ms | sgemm bound ms | kemb / torch | kemb / sgemm | saving disk / off | "
             "saving tmpfs / off | file MB |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for name, c in train["cases"].items():
        t = c["ms_per_epoch"]
        disk, tmpfs = t.get("kemb_save_disk", float("nan")), t.get("kemb_save_tmpfs", float("nan"))
        lines.append(
            f"| {name} ({c['samples']} x {c['features']}, {c['epochs']} epochs) | {t['kemb']:.3f} | "
            f"{disk:.3f} | {tmpfs:.3f} | {t['torch']:.3f} | {t['numpy']:.3f} | {t['sgemm_bound']:.3f} | "
            f"{t['kemb'] / t['torch']:.2f} | {t['kemb'] / t['sgemm_bound']:.2f} | {disk / t['kemb']:.2f} | "
            f"{tmpfs / t['kemb']:.2f} | {c.get('file_bytes_disk', 0) / 1e6:.1f} |")
    return lines + [""]


def sweep_table(sweep):
    keys = [k for k in sweep["rows"][0] if k != "samples"]
    lines = ["| samples | " + " | ".join(f"{k} ms" for k in keys) + " | kemb / torch |",
             "|---:|" + "---:|" * (len(keys) + 1)]
    for r in sweep["rows"]:
        lines.append(f"| {r['samples']} | " + " | ".join(f"{r[k]:.2f}" for k in keys) +
                     f" | {r['kemb'] / r['torch']:.2f} |")
    return lines + [""]


def memory_table(memory):
    lines = ["| case | saving | data MB | model MB | RSS before MB | peak RSS MB | "
             "peak / (data + model) | growth / (data + model) |",
             "|---|---|---:|---:|---:|---:|---:|---:|"]
    for r in memory["rows"]:
        lines.append(f"| {r['case']} | {r['save']} | {r['data'] / 1e6:.0f} | {r['model'] / 1e6:.0f} | "
                     f"{r['rss_before'] / 1e6:.0f} | {r['rss_peak'] / 1e6:.0f} | "
                     f"{r['peak_over_data_model']:.2f} | {r['growth_over_data_model']:.2f} |")
    return lines + [""]


def saving_table(saving):
    lines = ["| call | file MB | off s | on s | on / off (median of pairs) |",
             "|---|---:|---:|---:|---:|"]
    for r in saving["calls"]:
        lines.append(f"| {r['samples']} x 784, {r['epochs']} epochs | {r['file_bytes'] / 1e6:.0f} | "
                     f"{r['off_s']:.3f} | {r['on_s']:.3f} | {r['on_over_off']:.2f} |")
    return lines + [""]


def targets_table(train, sweep, memory):
    """The issue's targets against this run's medians."""
    rows = []
    if train:
        c = train["cases"]
        for name, bound in (("mnist", 1.0), ("digits", 0.5)):
            if name in c:
                t = c[name]["ms_per_epoch"]
                rows.append((f"saving off, kemb / torch (both on two threads), {name}",
                             t["kemb"] / t["torch"], bound))
        if "mnist" in c:
            t = c["mnist"]["ms_per_epoch"]
            rows.append(("whole epoch / sgemm bound, mnist (the products alone: bench_kernels)",
                         t["kemb"] / t["sgemm_bound"], 1.15))
        for name in ("digits", "mnist"):
            if name in c:
                t = c[name]["ms_per_epoch"]
                for where in ("disk", "tmpfs"):
                    key = f"kemb_save_{where}"
                    if key in t:
                        rows.append((f"saving on ({where}) / off, {name}", t[key] / t["kemb"], 1.5))
    if sweep:
        r = sweep["rows"]
        small = next((x for x in r if x["samples"] >= 10000), r[0])
        big = r[-1]
        per = lambda x: x["kemb"] / x["samples"]
        rows.append((f"time per sample, {big['samples']} vs {small['samples']} samples "
                     "(about 1: linear)", per(big) / per(small), 1.1))
    if memory:
        for m in memory["rows"]:
            rows.append((f"peak RSS / (data + model), {m['case']}, saving {m['save']}",
                         m["peak_over_data_model"], 3.0))
    lines = ["| target | measured | bound | holds |", "|---|---:|---:|---|"]
    for name, value, bound in rows:
        lines.append(f"| {name} | {value:.2f} | {bound:.2f} | {'yes' if value <= bound else 'no'} |")
    return lines + [""]


def plot(sweep, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    rows = sweep["rows"]
    n = [r["samples"] for r in rows]
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for key in [k for k in rows[0] if k != "samples"]:
        ax.plot(n, [r[key] for r in rows], marker="o", label=key)
    # Linear growth through kemb's largest point, for reference.
    last = rows[-1]
    ax.plot(n, [last["kemb"] * s / last["samples"] for s in n], "k--", linewidth=0.8,
            label="linear in samples")
    ax.set_xlabel("samples (784 features, 784-128 relu, 128-10 softmax)")
    ax.set_ylabel("ms per epoch (median)")
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    ax.set_title(f"per-epoch time vs samples ({sweep['environment']['date']})")
    fig.tight_layout()
    fig.savefig(path, dpi=100)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--results", default="bench/results")
    parser.add_argument("--doc", default="docs/performance.md")
    args = parser.parse_args()
    train, sweep, memory, saving = (load(args.results, n) for n in
                                    ("train.json", "sweep.json", "memory.json", "saving.json"))
    lines = [BEGIN]
    if train:
        lines += environment_lines(train["environment"], train.get("load_average_after"))
        lines += ["Per-epoch time, median of the repeats:", ""] + train_table(train)
    if sweep:
        lines += [f"Scaling sweep ({sweep['epochs']} epochs per call, measured "
                  f"{sweep['environment']['date']}):", ""] + sweep_table(sweep)
        png = os.path.join(os.path.dirname(args.doc), "performance_sweep.png")
        plot(sweep, png)
        lines += [f"![per-epoch time against samples]({os.path.basename(png)})", ""]
    if memory:
        lines += [f"Peak resident memory of a training call (measured "
                  f"{memory['environment']['date']}):", ""] + memory_table(memory)
    if saving:
        env = saving["environment"]
        lines += [f"Saving on against saving off, whole training calls run in turn "
                  f"(`bench/saving.py`, measured {env['date']}, load average at the start "
                  f"{load_text(env['load_average']) if 'load_average' in env else 'not read'}):",
                  ""] + saving_table(saving)
    lines += ["Targets (from the medians above):", ""] + targets_table(train, sweep, memory)
    lines.append(END)
    with open(args.doc) as f:
        text = f.read()
    start, stop = text.index(BEGIN), text.index(END) + len(END)
    with open(args.doc, "w") as f:
        f.write(text[:start] + "\n".join(lines) + text[stop:])


if __name__ == "__main__":
    main()
