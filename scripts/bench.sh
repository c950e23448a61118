#!/usr/bin/env bash
# Builds the benchmarks and prints one report: the machine, the driver on the
# line (event latency, four registers at full rate, acknowledgement
# turnaround against a minimal acknowledger) and the codec microbenchmarks.
#   scripts/bench.sh [--quick]
# Timings depend on the machine and on what else runs on it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
quick=0
while (($#)); do
  case "$1" in
    --quick) quick=1; shift ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
bash "$root/scripts/install-deps.sh"
dir="$root/build-bench"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVO_BUILD_BENCH=ON \
      -DTARVO_BUILD_TESTS=OFF >&2
cmake --build "$dir" -j "$(nproc 2>/dev/null || echo 2)" --target tarvo_bench tarvo_line_bench tarvomdrv >&2
export TARVO_REGISTRY="$(mktemp -d)/registry.reg"

cpu="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')"
echo "## TarvoMDrv benchmarks"
echo
echo "Machine: ${cpu:-unknown CPU}, $(nproc) cores, Linux $(uname -r), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo
if ((quick)); then
  "$dir/bin/tarvo_line_bench" --latency-messages 50 --rate-seconds 5 --turnarounds 100
else
  "$dir/bin/tarvo_line_bench"
fi
echo
echo "Codec and receive path (Google Benchmark):"
echo
"$dir/bin/tarvo_bench" --benchmark_min_time=0.2 2>/dev/null | sed 's/^/    /'
