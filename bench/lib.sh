# shellcheck shell=bash disable=SC2034  # the variables set here are read by the scripts that source it
# Shared by the bench scripts (source it): the release binary, the input
# file in /dev/shm, wall-clock timing of alternating runs, medians, digests
# read from kxdd's log and the peak resident memory of a command.
#
# Timed commands are shell functions run in the calling shell, so they may
# leave results in files or variables for a check between runs.

bench_root="$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.." && pwd)"
bench_kxdd="$bench_root/build/release/src/opt/kxdd/kxdd"
bench_shm=/dev/shm
bench_tmp=""

# bench_setup: builds the release binary (the wrapper rebuilds it when a
# source changed) and makes a scratch directory removed on exit, with
# bench_cleanup_hook (if defined) run first.
bench_setup() {
  "$bench_root/kxdd" -v >/dev/null
  bench_tmp=$(mktemp -d "$bench_shm/kxdd-bench.XXXXXX")
  trap 'bench_on_exit' EXIT
  trap 'exit 130' INT TERM
}

bench_on_exit() {
  if declare -F bench_cleanup_hook >/dev/null; then bench_cleanup_hook; fi
  [ -z "$bench_tmp" ] || rm -rf "$bench_tmp"
}

# bench_need_number NAME VALUE: exits with a usage error unless VALUE is a
# whole number of at least 1.
bench_need_number() {
  case "$2" in ''|*[!0-9]*) echo "$1 needs a number" >&2; exit 2 ;; esac
  [ "$2" -ge 1 ] || { echo "$1 needs at least 1" >&2; exit 2; }
}

# bench_input MIB: sets bench_in to /dev/shm/kxdd-bench-in-<MIB>M.bin, a
# file of random bytes made once and reused while it has the right size.
bench_input() {
  local size=$(( $1 * 1024 * 1024 )) have=0 need_kib free_kib
  bench_in="$bench_shm/kxdd-bench-in-${1}M.bin"
  [ -f "$bench_in" ] && have=$(stat -c %s "$bench_in")
  [ "$have" -ne "$size" ] || return 0
  need_kib=$(( (2 * size) / 1024 + 65536 ))  # the input and one copy of it
  free_kib=$(df -Pk "$bench_shm" | awk 'NR == 2 { print $4 }')
  if [ "$free_kib" -lt "$need_kib" ]; then
    echo "not enough room in $bench_shm: need $((need_kib / 1024)) MiB, have $((free_kib / 1024)) MiB" >&2
    exit 1
  fi
  echo "making $bench_in ($1 MiB of random bytes)" >&2
  head -c "$size" /dev/urandom >"$bench_in.tmp"
  mv "$bench_in.tmp" "$bench_in"
}

bench_now_ns() { date +%s%N; }

# Numbers on standard input: their median; their minimum.
bench_median() { sort -n | awk '{ v[NR] = $1 } END { printf "%.4f\n", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
bench_min() { sort -n | head -n 1; }

# bench_ratio A B: A / B with two decimals.
bench_ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f\n", a / b }'; }

# bench_time FN ARG...: runs FN ARG... in this shell and sets bench_t to its
# wall time in seconds; a failure (status not 0) ends the script.
bench_time() {
  local t0 t1 rc=0
  t0=$(bench_now_ns)
  "$@" || rc=$?
  t1=$(bench_now_ns)
  if [ "$rc" -ne 0 ]; then
    echo "$1 failed with status $rc" >&2
    exit 1
  fi
  bench_t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f\n", (b - a) / 1e9 }')
}

# bench_alternate RUNS FN_A FN_B [CHECK [PREP]]: RUNS runs of each
# function, alternating which goes first so neither always meets a warmer
# machine; CHECK (a function, "" for none) after each pair, PREP FN
# (untimed, e.g. removing FN's last output) before every run of FN. Sets bench_times_a and
# bench_times_b (arrays of seconds) and bench_med_a, bench_med_b (medians).
bench_alternate() {
  local runs=$1 check=${4:-} prep=${5:-} i fn
  local order=("$2" "$3")
  bench_times_a=()
  bench_times_b=()
  for ((i = 1; i <= runs; i++)); do
    if ((i % 2)); then order=("$2" "$3"); else order=("$3" "$2"); fi
    for fn in "${order[@]}"; do
      [ -z "$prep" ] || "$prep" "$fn"
      bench_time "$fn"
      if [ "$fn" = "$2" ]; then bench_times_a+=("$bench_t"); else bench_times_b+=("$bench_t"); fi
    done
    [ -z "$check" ] || "$check"
  done
  bench_med_a=$(printf '%s\n' "${bench_times_a[@]}" | bench_median)
  bench_med_b=$(printf '%s\n' "${bench_times_b[@]}" | bench_median)
}

# bench_runs RUNS FN: RUNS runs of one function; sets bench_med.
bench_runs() {
  local times=() i
  for ((i = 1; i <= $1; i++)); do
    bench_time "$2"
    times+=("$bench_t")
  done
  bench_med=$(printf '%s\n' "${times[@]}" | bench_median)
}

# bench_log_digest LOG NAME: the digest kxdd printed as "NAME: hex" in LOG
# (its standard error, colours removed).
bench_log_digest() {
  sed 's/\x1b\[[0-9;]*m//g' "$1" | awk -v w="$2:" '$1 == w { print $2 }'
}

# bench_peak_rss_kib CMD ARG...: runs the command (its standard error to
# $bench_tmp/rss.log) and prints its peak resident memory in KiB, from
# getrusage of the child; the count includes the few MiB of the python3
# process that starts it. A failure ends the script.
bench_peak_rss_kib() {
  python3 -c '
import os, sys
pid = os.fork()
if pid == 0:
    err = os.open(sys.argv[1], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    os.dup2(err, 2)
    os.execvp(sys.argv[2], sys.argv[2:])
_, status, usage = os.wait4(pid, 0)
print(usage.ru_maxrss)
sys.exit(os.waitstatus_to_exitcode(status))
' "$bench_tmp/rss.log" "$@" || { echo "$1 failed:" >&2; cat "$bench_tmp/rss.log" >&2; exit 1; }
}

# bench_load: the load averages of the last 1, 5 and 15 minutes.
bench_load() { cut -d' ' -f1-3 /proc/loadavg; }
