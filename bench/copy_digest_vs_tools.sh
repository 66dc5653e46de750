#!/usr/bin/env bash
# Times the release kxdd copying a file of random bytes from /dev/shm to
# /dev/shm with "status=md5" against md5sum of the same file, and with
# "status=sha1" against "openssl dgst -sha1", in alternating runs, checks that
# the printed digests agree, and prints the median times and their ratios.
#
#   bench/copy_digest_vs_tools.sh [-n RUNS] [--bs SIZE] [--size-mib MIB]
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/lib.sh"

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
bench_need_number -n "$runs"
bench_need_number --size-mib "$size_mib"

bench_cleanup_hook() { rm -f "${bench_in:-}"; }
bench_setup
bench_input "$size_mib"
out="$bench_tmp/out"
log="$bench_tmp/kx.log"

run_kxdd() { "$bench_kxdd" if="$bench_in" of="$out" bs="$bs" status="$word" 2>"$log"; }
run_tool() { "${tool[@]}" "$bench_in" >"$bench_tmp/tool.out"; }
remove_out() { [ "$1" != run_kxdd ] || rm -f "$out"; }
check_sums() {
  local sum_kx sum_tool
  sum_kx=$(bench_log_digest "$log" "$(echo "$word" | tr a-z A-Z)")
  sum_tool=$(awk '{ print $1 }' "$bench_tmp/tool.out")
  if [ "$sum_kx" != "$sum_tool" ]; then
    echo "digest mismatch: kxdd $sum_kx, ${tool[0]} $sum_tool" >&2
    exit 1
  fi
}

# run_pair WORD TOOL...: kxdd with status=WORD against the tool on the input.
run_pair() {
  word=$1; shift
  tool=("$@")
  bench_alternate "$runs" run_kxdd run_tool check_sums remove_out
  printf '%-6s kxdd copy median %ss, %s median %ss, ratio kxdd/%s: %s\n' "$word" "$bench_med_a" "$1" \
    "$bench_med_b" "$1" "$(bench_ratio "$bench_med_a" "$bench_med_b")"
}

run_pair md5 md5sum
run_pair sha1 openssl dgst -sha1 -r
