#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang into build-fuzz/ and runs
# them one after the other.
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# SECONDS per target (default 30); TARGET names (rx_path, frame,
# event_builders, encodings, registry_format, variant, dispatcher,
# command_answers, bridge_line) pick some of them.
# Each target starts from its seeds in fuzz/corpus/<target>/ and keeps what
# it finds new in build-fuzz/corpus/<target>/; an input that breaks the
# target is saved in build-fuzz/findings/<target>/. Prints each target's
# executions and result; exits 1 when any target found something.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-30}"
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(rx_path frame event_builders encodings registry_format variant dispatcher
           command_answers bridge_line)
fi
case "$seconds" in
  '' | *[!0-9]*) echo "SECONDS must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac

# clang and its fuzzer runtime, installed only when missing.
if ! command -v clang++ >/dev/null 2>&1 ||
   ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  echo "Installing: clang libclang-rt-14-dev"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends clang libclang-rt-14-dev
fi
bash "$root/scripts/install-deps.sh"

build="$root/build-fuzz"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_COMPILER=clang++ -DTARVO_BUILD_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" \
      --target $(printf 'fuzz_%s ' "${targets[@]}") >/dev/null

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TARVO_REGISTRY="$(mktemp -d)/registry.reg"

failed=0
summary=()
for t in "${targets[@]}"; do
  seeds="$root/fuzz/corpus/$t"
  work="$build/corpus/$t"
  findings="$build/findings/$t"
  log="$build/fuzz-$t.log"
  mkdir -p "$work" "$findings"
  echo "== $t: ${seconds}s"
  status=0
  "$build/bin/fuzz_$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$work" "$seeds" >"$log" 2>&1 || status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  if ((status == 0)); then
    result="ok"
  else
    failed=1
    result="FINDING (exit $status), see $log"
    grep -E 'broken invariant|ERROR: AddressSanitizer|runtime error|deadly signal|Test unit written' "$log" |
      head -n 6 | sed 's/^/   /'
  fi
  summary+=("$(printf '%-16s %10s runs  %s' "$t" "${runs:-?}" "$result")")
done

echo "== summary"
printf '%s\n' "${summary[@]}"
exit "$failed"
