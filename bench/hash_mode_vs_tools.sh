#!/usr/bin/env bash
# Times the release kxdd hashing a file of random bytes in /dev/shm
# ("hash_mode") against the usual tools on the same file, in alternating runs,
# checks that the digests agree, and prints the medians and the ratios:
# md5 against md5sum, sha1/sha256/sha512/sm3 against openssl dgst, xxh3
# against xxh128sum; then "hash_mode=md5,sha1,sha256" against md5sum alone,
# with the processor count (--no-trio leaves that out).
#
#   bench/hash_mode_vs_tools.sh [-n RUNS] [--size-mib MIB] [--no-trio] [WORD...]
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/lib.sh"

runs=7
size_mib=1024
words=()
trio=1
while [ $# -gt 0 ]; do
  case "$1" in
    -n) runs="$2"; shift 2 ;;
    --size-mib) size_mib="$2"; shift 2 ;;
    --no-trio) trio=0; shift ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown argument: $1" >&2; exit 2 ;;
    *) words+=("$1"); shift ;;
  esac
done
bench_need_number -n "$runs"
bench_need_number --size-mib "$size_mib"
[ ${#words[@]} -gt 0 ] || words=(md5 sha1 sha256 sha512 xxh3 sm3)

bench_cleanup_hook() { rm -f "${bench_in:-}"; }
bench_setup
bench_input "$size_mib"
log="$bench_tmp/kx.log"

tool_of() {
  case "$1" in
    md5) echo md5sum ;;
    xxh3) echo xxh128sum ;;
    *) echo "openssl dgst -$1 -r" ;;
  esac
}

run_kxdd() { "$bench_kxdd" if="$bench_in" hash_mode="$word" >/dev/null 2>"$log"; }
run_tool() { "${tool[@]}" "$bench_in" >"$bench_tmp/tool.out" 2>"$bench_tmp/tool.err"; }
check_one() {
  local sum_kx sum_tool
  sum_kx=$(bench_log_digest "$log" "$(echo "$word" | tr a-z A-Z)")
  sum_tool=$(awk '{ print $1 }' "$bench_tmp/tool.out")
  if [ "$sum_kx" != "$sum_tool" ]; then
    echo "digest mismatch for $word: kxdd $sum_kx, ${tool[0]} $sum_tool" >&2
    exit 1
  fi
}

for word in "${words[@]}"; do
  read -r -a tool <<<"$(tool_of "$word")"
  bench_alternate "$runs" run_kxdd run_tool check_one
  printf '%-7s kxdd median %ss, %s median %ss, ratio kxdd/%s: %s\n' "$word" "$bench_med_a" "${tool[0]}" \
    "$bench_med_b" "${tool[0]}" "$(bench_ratio "$bench_med_a" "$bench_med_b")"
done

[ "$trio" -eq 1 ] || exit 0
# Three whole-stream digests in one job against the slowest of them alone.
want_md5=$(md5sum "$bench_in" | awk '{ print $1 }')
want_sha1=$(openssl dgst -sha1 -r "$bench_in" | awk '{ print $1 }')
want_sha256=$(openssl dgst -sha256 -r "$bench_in" | awk '{ print $1 }')
word=md5,sha1,sha256
tool=(md5sum)
check_trio() {
  local got
  got="$(bench_log_digest "$log" MD5) $(bench_log_digest "$log" SHA1) $(bench_log_digest "$log" SHA256)"
  if [ "$got" != "$want_md5 $want_sha1 $want_sha256" ]; then
    echo "digest mismatch for md5,sha1,sha256: kxdd $got" >&2
    exit 1
  fi
}
bench_alternate "$runs" run_kxdd run_tool check_trio
printf 'md5,sha1,sha256 kxdd median %ss, md5sum median %ss, ratio kxdd/md5sum: %s (%s cores)\n' "$bench_med_a" \
  "$bench_med_b" "$(bench_ratio "$bench_med_a" "$bench_med_b")" "$(nproc)"
