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
case "$runs" in ''|*[!0-9]*) echo "-n needs a number" >&2; exit 2 ;; esac
case "$size_mib" in ''|*[!0-9]*) echo "--size-mib needs a number" >&2; exit 2 ;; esac
[ ${#words[@]} -gt 0 ] || words=(md5 sha1 sha256 sha512 xxh3 sm3)

root="$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)"
kxdd="$root/build/release/src/opt/kxdd/kxdd"
in=/dev/shm/kxdd-hash-in.$$
log=/dev/shm/kxdd-hash-log.$$
trap 'rm -f "$in" "$log"' EXIT
trap 'exit 130' INT TERM

"$root/kxdd" -v >/dev/null
head -c $((size_mib * 1024 * 1024)) /dev/urandom >"$in"

now_ns() { date +%s%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f\n", (b - a) / 1e9 }'; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

tool_of() {
  case "$1" in
    md5) echo md5sum ;;
    xxh3) echo xxh128sum ;;
    *) echo "openssl dgst -$1 -r" ;;
  esac
}

for word in "${words[@]}"; do
  read -r -a tool <<<"$(tool_of "$word")"
  name=$(echo "$word" | tr a-z A-Z)
  kx=() peer=()
  for ((i = 0; i < runs; i++)); do
    t0=$(now_ns); "$kxdd" if="$in" hash_mode="$word" 2>"$log"; t1=$(now_ns)
    kx+=("$(seconds "$t0" "$t1")")
    sum_kx=$(sed 's/\x1b\[[0-9;]*m//g' "$log" | awk -v w="$name:" '$1 == w { print $2 }')
    t0=$(now_ns); sum_tool=$("${tool[@]}" "$in" | awk '{ print $1 }'); t1=$(now_ns)
    peer+=("$(seconds "$t0" "$t1")")
    if [ "$sum_kx" != "$sum_tool" ]; then
      echo "digest mismatch for $word: kxdd $sum_kx, ${tool[0]} $sum_tool" >&2
      exit 1
    fi
  done
  mk=$(printf '%s\n' "${kx[@]}" | median)
  mt=$(printf '%s\n' "${peer[@]}" | median)
  printf '%-7s kxdd median %ss, %s median %ss, ratio kxdd/%s: %s\n' "$word" "$mk" "${tool[0]}" "$mt" "${tool[0]}" \
    "$(awk -v a="$mk" -v b="$mt" 'BEGIN { printf "%.2f", a / b }')"
done

[ "$trio" -eq 1 ] || exit 0
# Three whole-stream digests in one job against the slowest of them alone.
want_md5=$(md5sum "$in" | awk '{ print $1 }')
want_sha1=$(openssl dgst -sha1 -r "$in" | awk '{ print $1 }')
want_sha256=$(openssl dgst -sha256 -r "$in" | awk '{ print $1 }')
kx=() peer=()
for ((i = 0; i < runs; i++)); do
  t0=$(now_ns); "$kxdd" if="$in" hash_mode=md5,sha1,sha256 2>"$log"; t1=$(now_ns)
  kx+=("$(seconds "$t0" "$t1")")
  got=$(sed 's/\x1b\[[0-9;]*m//g' "$log" | awk '$1 == "MD5:" || $1 == "SHA1:" || $1 == "SHA256:" { printf "%s ", $2 }')
  t0=$(now_ns); md5sum "$in" >/dev/null; t1=$(now_ns)
  peer+=("$(seconds "$t0" "$t1")")
  if [ "$got" != "$want_md5 $want_sha1 $want_sha256 " ]; then
    echo "digest mismatch for md5,sha1,sha256: kxdd $got" >&2
    exit 1
  fi
done
mk=$(printf '%s\n' "${kx[@]}" | median)
mt=$(printf '%s\n' "${peer[@]}" | median)
printf 'md5,sha1,sha256 kxdd median %ss, md5sum median %ss, ratio kxdd/md5sum: %s (%s cores)\n' "$mk" "$mt" \
  "$(awk -v a="$mk" -v b="$mt" 'BEGIN { printf "%.2f", a / b }')" "$(nproc)"
