#!/usr/bin/env bash
# startup.sh: zor-host's start-up plus shutdown with an empty script (load libzor.so, selector -1,
# selector -2, exit), measured with hyperfine beside /bin/true, the cost of starting any process.
# Goal: under 10 ms. Usage: bench/startup.sh [BUILD_DIR] (default build/).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
host="$build/zor-host"
[ -x "$host" ] || { echo "startup: $host is not built" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: > "$work/empty.zor"

hyperfine --style none --warmup 10 --runs 200 -N --export-json "$work/times.json" \
  "$host $work/empty.zor" "/bin/true" > /dev/null 2>&1

/usr/bin/python3 - "$work/times.json" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
host, floor = results[0], results[1]
ms = lambda s: s * 1000.0
print("zor-host, empty script: median %.2f ms, mean %.2f ms (sd %.2f, min %.2f) over %d runs"
      % (ms(host["median"]), ms(host["mean"]), ms(host["stddev"]), ms(host["min"]), len(host["times"])))
print("/bin/true (process floor): median %.2f ms, mean %.2f ms" % (ms(floor["median"]), ms(floor["mean"])))
print("ratio to /bin/true (medians): %.1fx; goal under 10 ms: %s"
      % (host["median"] / floor["median"], "met" if ms(host["median"]) < 10.0 else "MISSED"))
PY
