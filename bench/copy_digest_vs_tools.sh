#!/usr/bin/env bash
# Times the release kxdd copying a file of random bytes from /dev/shm to
# /dev/shm with "status=md5" against md5sum of the same file, and with
# "status=sha1" against "openssl dgst -sha1", in alternating runs, checks that
# the printed digests agree, and prints the median times and their ratios.
#
#   bench/copy_digest_vs_tools.sh [-n RUNS] [--bs SIZE] [--size-mib MIB]
set -euo pipefail

runs=7
bs=2M
size_mib=1024
while [ $# -gt 0 ]; do
  case "$1" in
    -n) runs="$2"; shift 2 ;;
    --bs) bs="$2"; shift 2 ;;
    --size-mib) size_mib="$2"; shift 2 ;;
    -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done
case "$runs" in ''|*[!0-9]*) echo "-n needs a number" >&2; exit 2 ;; esac
case "$size_mib" in ''|*[!0-9]*) echo "--size-mib needs a number" >&2; exit 2 ;; esac

root="$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)"
kxdd="$root/build/release/src/opt/kxdd/kxdd"
in=/dev/shm/kxdd-digest-in.$$
out=/dev/shm/kxdd-digest-out.$$
log=/dev/shm/kxdd-digest-log.$$
trap 'rm -f "$in" "$out" "$log"' EXIT
trap 'exit 130' INT TERM

"$root/kxdd" -v >/dev/null
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$in"

now_ns() { date +%s%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f\n", (b - a) / 1e9 }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# run_pair WORD TOOL...: kxdd with status=WORD, then the tool on the input.
run_pair() {
  local word=$1; shift
  local kx=() tool=() t0 t1 sum_kx sum_tool
  for ((i = 0; i < runs; i++)); do
    rm -f "$out"
    t0=$(now_ns); "$kxdd" if="$in" of="$out" bs="$bs" status="$word" 2>"$log"; t1=$(now_ns)
    kx+=("$(seconds "$t0" "$t1")")
    sum_kx=$(sed 's/\x1b\[[0-9;]*m//g' "$log" | awk -v w="$(echo "$word" | tr a-z A-Z)" '$1 == w":" { print $2 }')
    t0=$(now_ns); sum_tool=$("$@" "$in" | awk '{ print $1 }'); t1=$(now_ns)
    tool+=("$(seconds "$t0" "$t1")")
    if [ "$sum_kx" != "$sum_tool" ]; then
      echo "digest mismatch: kxdd $sum_kx, $1 $sum_tool" >&2
      exit 1
    fi
  done
  local mk mt
  mk=$(printf '%s\n' "${kx[@]}" | median)
  mt=$(printf '%s\n' "${tool[@]}" | median)
  printf '%-6s kxdd copy median %ss, %s median %ss, ratio kxdd/%s: %s\n' "$word" "$mk" "$1" "$mt" "$1" \
    "$(awk -v a="$mk" -v b="$mt" 'BEGIN { printf "%.2f", a / b }')"
}

run_pair md5 md5sum
run_pair sha1 openssl dgst -sha1 -r
