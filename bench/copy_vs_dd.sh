#!/usr/bin/env bash
# Times GNU dd and the release kxdd copying the same file of random bytes from
# /dev/shm to /dev/shm with the same block size, in alternating runs, and prints
# the minimum and median wall time of each and the ratio of the medians.
#
#   bench/copy_vs_dd.sh [-n RUNS] [--bs SIZE] [--size-mib MIB] [--keep-input]
#
# The input (/dev/shm/kxdd-bench-in-<MIB>M.bin) is made once and reused while it
# has the right size; it is removed at the end unless --keep-input is given.
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/lib.sh"

runs=9
bs=2M
size_mib=1024
keep_input=0
while [ $# -gt 0 ]; do
  case "$1" in
    -n) runs="$2"; shift 2 ;;
    --bs) bs="$2"; shift 2 ;;
    --size-mib) size_mib="$2"; shift 2 ;;
    --keep-input) keep_input=1; shift ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
bench_need_number -n "$runs"
bench_need_number --size-mib "$size_mib"

bench_cleanup_hook() { [ "$keep_input" -eq 1 ] || rm -f "${bench_in:-}"; }
bench_setup
bench_input "$size_mib"
out="$bench_tmp/out"

run_dd() { dd if="$bench_in" of="$out.dd" bs="$bs" 2>"$bench_tmp/dd.log" || { cat "$bench_tmp/dd.log" >&2; return 1; }; }
run_kxdd() { "$bench_kxdd" if="$bench_in" of="$out.kx" bs="$bs" 2>"$bench_tmp/kx.log" || { cat "$bench_tmp/kx.log" >&2; return 1; }; }
# Each run starts without the output it is about to write.
remove_out() { if [ "$1" = run_dd ]; then rm -f "$out.dd"; else rm -f "$out.kx"; fi; }
checked=0
check_once() {
  [ "$checked" -eq 0 ] || return 0
  cmp -s "$bench_in" "$out.kx" || { echo "kxdd's output differs from its input" >&2; exit 1; }
  checked=1
}

bench_alternate "$runs" run_dd run_kxdd check_once remove_out
for ((i = 0; i < runs; i++)); do
  printf 'run %d: dd %ss  kxdd %ss\n' $((i + 1)) "${bench_times_a[i]}" "${bench_times_b[i]}"
done

dd_min=$(printf '%s\n' "${bench_times_a[@]}" | bench_min)
kx_min=$(printf '%s\n' "${bench_times_b[@]}" | bench_min)
mib_s() { awk -v s="$1" -v m="$size_mib" 'BEGIN { printf "%.0f", m / s }'; }
printf 'input %d MiB, bs=%s, %d runs each\n' "$size_mib" "$bs" "$runs"
printf 'dd:   min %ss  median %ss  (%s MiB/s at the median)\n' "$dd_min" "$bench_med_a" "$(mib_s "$bench_med_a")"
printf 'kxdd: min %ss  median %ss  (%s MiB/s at the median)\n' "$kx_min" "$bench_med_b" "$(mib_s "$bench_med_b")"
printf 'kxdd/dd median ratio: %s\n' "$(bench_ratio "$bench_med_b" "$bench_med_a")"
