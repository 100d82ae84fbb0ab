#!/usr/bin/python3
"""Runs every benchmark and prints one table of zor against its peers; also draws the ratios.

Usage: bench/report.py [BUILD_DIR] [NAME ...]
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
    from PIL import Image, ImageDraw

    bar_h, gap, left, width = 22, 8, 360, 1100
    height = 60 + len(rows) * (bar_h + gap)
    image = Image.new("RGB", (width, height), "white")
    draw = ImageDraw.Draw(image)
    ratios = []
    for r in rows:
        try:
            ratios.append(float(r[3]))
        except ValueError:
            ratios.append(0.0)
    top = max([1.0] + ratios + [goal_value(r[4]) or 0 for r in rows])
    scale = (width - left - 40) / top
    draw.text((10, 10), "zor against its peers: ratio (bar) and goal (line); green = goal met", fill="black")
    for i, (r, ratio) in enumerate(zip(rows, ratios)):
        y = 40 + i * (bar_h + gap)
        draw.text((10, y + 5), r[0][:55], fill="black")
        colour = (60, 160, 80) if r[5].strip().lower() == "yes" else (200, 70, 60)
        draw.rectangle([left, y, left + max(1, int(ratio * scale)), y + bar_h], fill=colour)
        draw.text((left + int(ratio * scale) + 6, y + 5), f"{ratio:g}", fill="black")
        g = goal_value(r[4])
        if g is not None:
            x = left + int(g * scale)
            draw.line([x, y - 2, x, y + bar_h + 2], fill="black", width=2)
    image.save(path)


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "build"))
    rows = []
    for program in programs(build, sys.argv[2:]):
        rows += run(program, build)
    if not rows:
        sys.exit("no benchmark printed a BENCH line")
    text = table(rows)
    print(text)
    with open(os.path.join(HERE, "report.txt"), "w") as f:
        f.write(text + "\n")
    chart(rows, os.path.join(HERE, "report.png"))
    print(f"\nwritten: bench/report.txt, bench/report.png", file=sys.stderr)


if __name__ == "__main__":
    main()
