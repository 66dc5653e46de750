#!/usr/bin/env bash
# Measures the release kxdd against the single-purpose tools on one file of
# random bytes in /dev/shm and prints a table: each ratio (medians of
# alternating runs, kxdd's wall time over the peer's) beside its goal for
# this machine's core count, "met" or "NOT met", and the command that
# measures that row alone. Rows (all by default):
#   xxh3     hash_mode=xxh3 / xxh128sum                          <= 1.25
#   trio     hash_mode=md5,sha1,sha256 / md5sum                  <= 1.10 on 3+ cores,
#            else <= (md5 + sha1 + sha256 one job each) / md5sum
#   sha512   hash_mode=sha512 / openssl dgst -sha512             <= 1.05
#   psha256  hash_mode=psha256 / openssl dgst -sha256            <= 1.2 / cores + read / peer,
#            and <= 0.25 on 8 cores or more
#   pxxh3    hash_mode=pxxh3 / reading the file                  <= 1 + 1.2 / cores * xxh128sum / read
#   copy     copy / GNU dd (same bs)                             <= 1.00
#   md5copy  copy with status=md5 / md5sum                       <= 1.00
#   rss      peak resident memory of hash_mode=md5,sha1,sha256,psha256 < 256 MiB
# "read" is kxdd copying the file to of=/dev/null: the same reader, block
# size and buffers as the hash run, so the bound leaves kxdd exactly the
# reading it cannot avoid (cat would measure another program's reader).
#
#   bench/goals.sh [-n RUNS] [--size-mib MIB] [--bs SIZE] [--keep-input] [ROW...]
#
# The input (/dev/shm/kxdd-bench-in-<MIB>M.bin) is made once and reused while it
# has the right size; it is removed at the end unless --keep-input is given.
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/lib.sh"

runs=7
size_mib=1024
bs=2M
keep_input=0
rows=()
while [ $# -gt 0 ]; do
  case "$1" in
    -n) runs="$2"; shift 2 ;;
    --size-mib) size_mib="$2"; shift 2 ;;
    --bs) bs="$2"; shift 2 ;;
    --keep-input) keep_input=1; shift ;;
    -h|--help) sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown argument: $1" >&2; exit 2 ;;
    xxh3|trio|sha512|psha256|pxxh3|copy|md5copy|rss) rows+=("$1"); shift ;;
    *) echo "unknown row: $1 (xxh3 trio sha512 psha256 pxxh3 copy md5copy rss)" >&2; exit 2 ;;
  esac
done
bench_need_number -n "$runs"
bench_need_number --size-mib "$size_mib"
[ ${#rows[@]} -gt 0 ] || rows=(xxh3 trio sha512 psha256 pxxh3 copy md5copy rss)

bench_cleanup_hook() { [ "$keep_input" -eq 1 ] || rm -f "${bench_in:-}"; }
bench_setup
bench_input "$size_mib"
in=$bench_in
out="$bench_tmp/out"
kx_log="$bench_tmp/kx.log"
peer_out="$bench_tmp/peer.out"
cores=$(nproc)
load_start=$(bench_load)
failed=()

# The command that repeats a row alone.
row_cmd() {
  local c="bench/goals.sh -n $runs"
  # Under taskset: the same processors again.
  [ "$cores" -eq "$(nproc --all)" ] || c="taskset -c $(taskset -pc $$ | sed 's/.*: //') $c"
  [ "$size_mib" -eq 1024 ] || c+=" --size-mib $size_mib"
  [ "$bs" = 2M ] || c+=" --bs $bs"
  echo "$c $1"
}

# row KEY RUN KXDD_S PEER PEER_S RATIO GOAL_TEXT CONDITION (an awk expression)
row() {
  local verdict
  if awk "BEGIN { exit !($8) }"; then verdict=met; else verdict="NOT met"; failed+=("$1"); fi
  printf '| %s | %s | %s s | %s | %s s | %s | %s | %s | `%s` |\n' "$2" "$cores" "$3" "$4" "$5" "$6" "$7" "$verdict" \
    "$(row_cmd "$1")"
}

die() { echo "$*" >&2; exit 1; }
# rm_out FN: removes the output the timed function FN is about to write.
rm_out() { case "$1" in kx_*) rm -f "$out.kx" ;; *) rm -f "$out.dd" ;; esac; }

# The timed commands.
kx_hash() { "$bench_kxdd" if="$in" hash_mode="$hash_word" >/dev/null 2>"$kx_log"; }
kx_read() { "$bench_kxdd" if="$in" of=/dev/null 2>"$kx_log"; }
kx_copy() { "$bench_kxdd" if="$in" of="$out.kx" bs="$bs" 2>"$kx_log"; }
kx_copy_md5() { "$bench_kxdd" if="$in" of="$out.kx" bs="$bs" status=md5 2>"$kx_log"; }
dd_copy() { dd if="$in" of="$out.dd" bs="$bs" 2>"$bench_tmp/dd.log"; }
peer_xxh128sum() { xxh128sum "$in" >"$peer_out" 2>/dev/null; }  # it clears a progress line on stderr
peer_md5sum() { md5sum "$in" >"$peer_out"; }
peer_sha256() { openssl dgst -sha256 -r "$in" >"$peer_out"; }
peer_sha512() { openssl dgst -sha512 -r "$in" >"$peer_out"; }

# check_digest NAME: kxdd's "NAME:" line equals the peer's digest.
check_digest() {
  local kx peer
  kx=$(bench_log_digest "$kx_log" "$1")
  peer=$(awk '{ print $1; exit }' "$peer_out")
  if [ -z "$kx" ] || [ "$kx" != "$peer" ]; then die "digest mismatch for $1: kxdd '$kx', peer '$peer'"; fi
}
check_xxh3() { check_digest XXH3; }
check_md5() { check_digest MD5; }
check_sha512() { check_digest SHA512; }
check_trio() {
  check_digest MD5
  [ "$(bench_log_digest "$kx_log" SHA1) $(bench_log_digest "$kx_log" SHA256)" = "$want_sha1 $want_sha256" ] ||
    die "digest mismatch for md5,sha1,sha256: $(bench_log_digest "$kx_log" SHA1) $(bench_log_digest "$kx_log" SHA256)"
}
check_copy() { cmp -s "$in" "$out.kx" || die "kxdd's copy differs from its input"; }
check_copy_md5() { check_copy; check_digest MD5; }

# Medians measured once and shared by rows: the file read to /dev/null,
# xxh128sum alone.
read_s=""
xxh128sum_s=""
need_read_s() {
  [ -z "$read_s" ] || return 0
  bench_runs "$runs" kx_read
  read_s=$bench_med
}
need_xxh128sum_s() {
  [ -z "$xxh128sum_s" ] || return 0
  bench_runs "$runs" peer_xxh128sum
  xxh128sum_s=$bench_med
}

row_xxh3() {
  hash_word=xxh3
  bench_alternate "$runs" kx_hash peer_xxh128sum check_xxh3
  xxh128sum_s=$bench_med_b
  local r; r=$(bench_ratio "$bench_med_a" "$bench_med_b")
  row xxh3 xxh3 "$bench_med_a" xxh128sum "$bench_med_b" "$r" "<= 1.25" "$r <= 1.25"
}

row_trio() {
  want_sha1=$(openssl dgst -sha1 -r "$in" | awk '{ print $1 }')
  want_sha256=$(openssl dgst -sha256 -r "$in" | awk '{ print $1 }')
  hash_word=md5,sha1,sha256
  bench_alternate "$runs" kx_hash peer_md5sum check_trio
  local kx=$bench_med_a peer=$bench_med_b r goal
  r=$(bench_ratio "$kx" "$peer")
  if [ "$cores" -ge 3 ]; then
    row trio md5,sha1,sha256 "$kx" md5sum "$peer" "$r" "<= 1.10" "$r <= 1.10"
  else
    # Fewer cores: never slower than the three digests one after another.
    local sum=0 w
    for w in md5 sha1 sha256; do
      hash_word=$w
      bench_runs "$runs" kx_hash
      sum=$(awk -v a="$sum" -v b="$bench_med" 'BEGIN { print a + b }')
    done
    goal=$(bench_ratio "$sum" "$peer")
    row trio md5,sha1,sha256 "$kx" md5sum "$peer" "$r" "<= $goal (md5+sha1+sha256 jobs $sum s)" "$r <= $goal"
  fi
}

row_sha512() {
  hash_word=sha512
  bench_alternate "$runs" kx_hash peer_sha512 check_sha512
  local r; r=$(bench_ratio "$bench_med_a" "$bench_med_b")
  row sha512 sha512 "$bench_med_a" "openssl dgst -sha512" "$bench_med_b" "$r" "<= 1.05" "$r <= 1.05"
}

row_psha256() {
  hash_word=psha256
  bench_alternate "$runs" kx_hash peer_sha256
  local kx=$bench_med_a peer=$bench_med_b r goal
  need_read_s
  r=$(bench_ratio "$kx" "$peer")
  goal=$(awk -v c="$cores" -v rd="$read_s" -v p="$peer" 'BEGIN { printf "%.2f", 1.2 / c + rd / p }')
  local text="<= $goal (1.2/$cores + read $read_s s / peer)"
  # Eight cores or more: also at most a quarter of openssl's time.
  if [ "$cores" -ge 8 ]; then
    goal=$(awk -v g="$goal" 'BEGIN { print (g < 0.25 ? g : 0.25) }')
    text="<= $goal (8+ cores: <= 0.25; in general $text)"
  fi
  row psha256 psha256 "$kx" "openssl dgst -sha256" "$peer" "$r" "$text" "$r <= $goal"
}

row_pxxh3() {
  hash_word=pxxh3
  bench_alternate "$runs" kx_hash kx_read
  read_s=$bench_med_b
  local kx=$bench_med_a r goal
  need_xxh128sum_s
  r=$(bench_ratio "$kx" "$read_s")
  goal=$(awk -v c="$cores" -v rd="$read_s" -v x="$xxh128sum_s" 'BEGIN { printf "%.2f", 1 + 1.2 / c * x / rd }')
  row pxxh3 pxxh3 "$kx" "kxdd of=/dev/null" "$read_s" "$r" "<= $goal (1 + 1.2/$cores * xxh128sum $xxh128sum_s s / read)" \
    "$r <= $goal"
}

row_copy() {
  bench_alternate "$runs" kx_copy dd_copy check_copy rm_out
  local r; r=$(bench_ratio "$bench_med_a" "$bench_med_b")
  row copy "copy bs=$bs" "$bench_med_a" "dd bs=$bs" "$bench_med_b" "$r" "<= 1.00" "$r <= 1.00"
}

row_md5copy() {
  bench_alternate "$runs" kx_copy_md5 peer_md5sum check_copy_md5 rm_out
  local r; r=$(bench_ratio "$bench_med_a" "$bench_med_b")
  row md5copy "copy status=md5" "$bench_med_a" md5sum "$bench_med_b" "$r" "<= 1.00" "$r <= 1.00"
}

row_rss() {
  local kib mib verdict=met
  # One run: the peak is a count of pages, not a time.
  kib=$(bench_peak_rss_kib "$bench_kxdd" if="$in" hash_mode=md5,sha1,sha256,psha256)
  mib=$(awk -v k="$kib" 'BEGIN { printf "%.1f", k / 1024 }')
  if [ "$kib" -ge $((256 * 1024)) ]; then verdict="NOT met"; failed+=(rss); fi
  printf '| %s | %s | peak RSS %s MiB | | | | < 256 MiB | %s | `%s` |\n' "md5,sha1,sha256,psha256" "$cores" "$mib" \
    "$verdict" "$(row_cmd rss)"
}

printf 'kxdd %s, %d cores, %d MiB in %s, %d alternating runs per timing (medians); load average at start %s\n\n' \
  "$(git -C "$bench_root" describe --always --dirty 2>/dev/null || echo '?')" "$cores" "$size_mib" "$bench_shm" \
  "$runs" "$load_start"
echo '| run | cores | kxdd | peer | peer time | ratio | goal | | command |'
echo '|---|---|---|---|---|---|---|---|---|'
for r in "${rows[@]}"; do
  "row_$r"
done
printf '\nload average at the end %s\n' "$(bench_load)"
if [ ${#failed[@]} -eq 0 ]; then
  echo "all goals met"
else
  echo "goals NOT met: ${failed[*]}"
fi
