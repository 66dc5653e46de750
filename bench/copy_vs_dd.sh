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
case "$runs" in ''|*[!0-9]*) echo "-n needs a number" >&2; exit 2 ;; esac
case "$size_mib" in ''|*[!0-9]*) echo "--size-mib needs a number" >&2; exit 2 ;; esac
[ "$runs" -ge 1 ] || { echo "-n needs at least 1" >&2; exit 2; }

root="$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)"
kxdd="$root/build/release/src/opt/kxdd/kxdd"
shm=/dev/shm
in="$shm/kxdd-bench-in-${size_mib}M.bin"
out="$shm/kxdd-bench-out.$$"
log="$shm/kxdd-bench-log.$$"
size=$((size_mib * 1024 * 1024))

cleanup() {
  rm -f "$out" "$log"
  if [ "$keep_input" -eq 0 ]; then rm -f "$in"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Build the release binary (the wrapper rebuilds it when a source changed).
"$root/kxdd" -v >/dev/null

have=0
[ -f "$in" ] && have=$(stat -c %s "$in")
if [ "$have" -ne "$size" ]; then
  need_kib=$(( (2 * size) / 1024 + 65536 ))
  free_kib=$(df -Pk "$shm" | awk 'NR == 2 { print $4 }')
  if [ "$free_kib" -lt "$need_kib" ]; then
    echo "not enough room in $shm: need $((need_kib / 1024)) MiB, have $((free_kib / 1024)) MiB" >&2
    exit 1
  fi
  echo "making $in ($size_mib MiB of random bytes)" >&2
  head -c "$size" /dev/urandom >"$in.tmp"
  mv "$in.tmp" "$in"
fi

now_ns() { date +%s%N; }

# time_one NAME: one copy of the input to $out; prints the seconds it took.
time_one() {
  local t0 t1 rc=0
  rm -f "$out"
  t0=$(now_ns)
  if [ "$1" = dd ]; then
    dd if="$in" of="$out" bs="$bs" 2>"$log" || rc=$?
  else
    "$kxdd" if="$in" of="$out" bs="$bs" 2>"$log" || rc=$?
  fi
  t1=$(now_ns)
  if [ "$rc" -ne 0 ]; then
    echo "$1 failed with status $rc:" >&2
    cat "$log" >&2
    exit 1
  fi
  awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f\n", (b - a) / 1e9 }'
}

dd_times=()
kx_times=()
for ((i = 1; i <= runs; i++)); do
  # Alternate which one goes first, so neither always meets a warmer machine.
  if ((i % 2)); then order="dd kxdd"; else order="kxdd dd"; fi
  for p in $order; do
    t=$(time_one "$p")
    if [ "$p" = dd ]; then dd_times+=("$t"); else kx_times+=("$t"); fi
    if [ "$p" = kxdd ] && [ "$i" -eq 1 ] && ! cmp -s "$in" "$out"; then
      echo "kxdd's output differs from its input" >&2
      exit 1
    fi
  done
  printf 'run %d: dd %ss  kxdd %ss\n' "$i" "${dd_times[-1]}" "${kx_times[-1]}"
done

# stats T...: prints "min median" of the numbers.
stats() {
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END {
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%.4f %.4f\n", v[1], m }'
}

read -r dd_min dd_med <<<"$(stats "${dd_times[@]}")"
read -r kx_min kx_med <<<"$(stats "${kx_times[@]}")"
mib_s() { awk -v s="$1" -v m="$size_mib" 'BEGIN { printf "%.0f", m / s }'; }
printf 'input %d MiB, bs=%s, %d runs each\n' "$size_mib" "$bs" "$runs"
printf 'dd:   min %ss  median %ss  (%s MiB/s at the median)\n' "$dd_min" "$dd_med" "$(mib_s "$dd_med")"
printf 'kxdd: min %ss  median %ss  (%s MiB/s at the median)\n' "$kx_min" "$kx_med" "$(mib_s "$kx_med")"
awk -v k="$kx_med" -v d="$dd_med" 'BEGIN { printf "kxdd/dd median ratio: %.2f\n", k / d }'
