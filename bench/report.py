#!/usr/bin/python3
"""Runs every benchmark and prints one table of zor against its peers; also draws the ratios.

Usage: bench/report.py [BUILD_DIR] [NAME ...]   (BUILD_DIR, default build/, is built first; with
NAMEs, only the programs whose names contain one of them run, and the files are left as they are)
Each benchmark program (BUILD_DIR/bench_*, and bench/*.sh) prints its own figures and one line per
goal: BENCH<TAB>name<TAB>zor<TAB>peer<TAB>ratio<TAB>goal<TAB>met. The table goes to standard output
and to bench/report.txt; a bar chart of the ratios against their goals to bench/report.png.
"""
import glob
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def programs(build, names):
    found = sorted(glob.glob(os.path.join(build, "bench_*"))) + sorted(glob.glob(os.path.join(HERE, "*.sh")))
    if names:
        found = [p for p in found if any(n in os.path.basename(p) for n in names)]
    return found


def run(program, build):
    print(f"== {os.path.basename(program)}", file=sys.stderr, flush=True)
    env = dict(os.environ, ZOR_BUILD_DIR=build)
    try:
        done = subprocess.run([program], capture_output=True, text=True, timeout=1800, env=env, cwd=build)
        out = done.stdout
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode() if isinstance(e.stdout, bytes) else (e.stdout or "")
    rows = []
    for line in out.splitlines():
        if line.startswith("BENCH\t"):
            fields = line.split("\t")[1:]
            if len(fields) >= 6:
                rows.append(fields[:6])
        else:
            print("   " + line, file=sys.stderr)
    return rows


def table(rows):
    head = ["benchmark", "zor", "peer", "ratio", "goal", "met?"]
    widths = [max(len(str(r[i])) for r in rows + [head]) for i in range(6)]
    lines = ["  ".join(h.ljust(w) for h, w in zip(head, widths))]
    lines.append("  ".join("-" * w for w in widths))
    for r in rows:
        lines.append("  ".join(str(c).ljust(w) for c, w in zip(r, widths)))
    return "\n".join(lines)


def goal_value(goal):
    digits = "".join(c for c in goal if c.isdigit() or c == ".")
    try:
        return float(digits)
    except ValueError:
        return None


def chart(rows, path):
    """Bars of the speed ratios (zor / peer, higher is better) on a log scale, with each goal marked.
    Rows whose goal is a limit rather than a ratio to reach (memory, sizes) are left out."""
    import math

    from PIL import Image, ImageDraw

    shown = []
    for r in rows:
        try:
            ratio = float(r[3])
        except ValueError:
            continue
        goal = r[4].strip()
        if goal.startswith("<=") or goal.startswith("=="):
            continue
        shown.append((r, ratio, goal_value(goal) if goal.startswith(">") else None))
    bar_h, gap, left, width = 20, 6, 470, 1200
    low, high = 0.1, 1000.0
    height = 70 + len(shown) * (bar_h + gap)
    image = Image.new("RGB", (width, height), "white")
    draw = ImageDraw.Draw(image)

    def x_of(value):
        value = min(max(value, low), high)
        return left + int((math.log10(value) - math.log10(low)) / (math.log10(high) - math.log10(low)) * (width - left - 60))

    draw.text((10, 10), "zor / peer (log scale; 1 = as fast as the peer). Black tick: goal. Green: met, red: not met, grey: no goal.",
              fill="black")
    for tick in (0.1, 1, 10, 100, 1000):
        x = x_of(tick)
        draw.line([x, 35, x, height - 10], fill=(210, 210, 210))
        draw.text((x + 2, 35), f"{tick:g}", fill=(120, 120, 120))
    for i, (r, ratio, goal) in enumerate(shown):
        y = 55 + i * (bar_h + gap)
        draw.text((10, y + 4), r[0][:75], fill="black")
        met = r[5].strip().lower()
        colour = (60, 160, 80) if met == "yes" else (200, 70, 60) if met == "no" else (150, 150, 150)
        draw.rectangle([x_of(low), y, max(x_of(low) + 1, x_of(ratio)), y + bar_h], fill=colour)
        draw.text((x_of(ratio) + 6, y + 4), f"{ratio:g}", fill="black")
        if goal:
            x = x_of(goal)
            draw.line([x, y - 2, x, y + bar_h + 2], fill="black", width=3)
    image.save(path)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
    # The programs are built (or brought up to date) first, so one command does the whole job.
    subprocess.run([os.path.join(HERE, "..", "scripts", "deps")], check=True)
    subprocess.run([os.path.join(HERE, "..", "scripts", "build"), build], check=True, stdout=subprocess.DEVNULL)
    rows = []
    for program in programs(build, sys.argv[2:]):
        rows += run(program, build)
    if not rows:
        sys.exit("no benchmark printed a BENCH line")
    text = table(rows)
    print(text)
    if sys.argv[2:]:
        return  # a partial run leaves the whole report as it was
    with open(os.path.join(HERE, "report.txt"), "w") as f:
        f.write(text + "\n")
    chart(rows, os.path.join(HERE, "report.png"))
    print(f"\nwritten: bench/report.txt, bench/report.png", file=sys.stderr)


if __name__ == "__main__":
    main()
