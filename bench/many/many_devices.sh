#!/usr/bin/env bash
# Four devices uploaded together with --all against one device alone, as users run karvex-flash
# (its status timer ticking every 10 ms), each device under the chip's latency model.
# Usage: many_devices.sh PROGRAM DRIVER_DIR HEX WORK_DIR
# Prints "what<TAB>figure" lines: the fastest wall time of RUNS runs of each, taken in turns so
# that the machine's load falls on both, and their ratio.
set -euo pipefail
program=$1 driver_dir=$2 hex=$3 work=$4
runs=${KARVEX_BENCH_RUNS:-5}
mkdir -p "$work" && cd "$work"
export LD_LIBRARY_PATH=$driver_dir KARVEX_SIM_CHIP_LATENCY=1 KARVEX_SIM_FLASH=flash.bin
unset KARVEX_SIM_SILENT KARVEX_SIM_NAK KARVEX_SIM_DROP KARVEX_SIM_FAIL KARVEX_SIM_ATTACHED

# seconds ENV... -- ARGS...: the wall time of one run of the program; fails when it does.
seconds() {
  local env=() start end
  while [ "$1" != -- ]; do env+=("$1"); shift; done; shift
  start=$(date +%s%N)
  env "${env[@]}" "$program" --quiet "$@" >/dev/null 2>&1 || { echo "run failed: $*" >&2; return 1; }
  end=$(date +%s%N)
  awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }'
}

lesser() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }

one="" four=""
for _ in $(seq "$runs"); do
  one=$(lesser "$(seconds KARVEX_SIM_DEVICES=A -- "$hex")" "$one")
  four=$(lesser "$(seconds "KARVEX_SIM_DEVICES=A;B;C;D" -- --all "$hex")" "$four")
done
printf 'one device, s (fastest of %s)\t%s\n' "$runs" "$one"
printf 'four devices with --all, s (fastest of %s)\t%s\n' "$runs" "$four"
printf 'four against one (target: at most 1.2)\t%s\n' "$(awk -v a="$four" -v b="$one" 'BEGIN { printf "%.2f", a / b }')"
