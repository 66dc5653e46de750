#!/usr/bin/env bash
# Measures the release kxdd reading images against the tools that read (or
# write) the same images, and prints a table: each ratio (medians of
# alternating runs, kxdd's wall time over the peer's) beside its goal for
# this machine's core count, "met" or "NOT met", and the command that
# measures that row alone. The input is 512 MiB of real program files
# (/usr/bin, /usr/lib concatenated; they compress about 2x with lz4 -1), made
# once in /dev/shm, and the images of it are made once beside it. Rows (all
# by default):
#   aff4-deflate, aff4-snappy  the AFF4 image (32 KiB chunks) to /dev/null, over the
#                              same read pinned to one core (taskset -c, the first
#                              processor allowed)       <= 0.30 on 8+ cores, <= 1.3 / cores + 0.15 on fewer
#   qcow2, vhdx, vmdk, vhd     the image to a raw file / qemu-img convert -S 0 -O raw  <= 1.00
#   ewf                        the EWF image to a raw file / ewfexport -f raw           <= 0.60
#   kxz-read                   the .kxz image to a raw file / lz4 -d of the same data   <= 0.35
#   kxz-write                  the input to a .kxz image / lz4 -1 of it                 <= 0.35
#   xxh3                       hash_mode=xxh3 of 1 GiB of random bytes / xxh128sum      <= 1.00
# Every output is compared with the input (or kxdd's digest with the peer's).
#
#   bench/images_vs_tools.sh [-n RUNS] [--keep-input] [ROW...]
#
# The inputs (/dev/shm/kxdd-bench-progs-512M.bin, its images in
# /dev/shm/kxdd-bench-images/, and for xxh3 /dev/shm/kxdd-bench-in-1024M.bin)
# are reused while they are there; they are removed at the end unless
# --keep-input is given. Needs about 4 GiB free in /dev/shm.
set -euo pipefail
# shellcheck source=bench/lib.sh
. "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/lib.sh"

all_rows=(aff4-deflate aff4-snappy qcow2 vhdx vmdk vhd ewf kxz-read kxz-write xxh3)
runs=7
keep_input=0
rows=()
while [ $# -gt 0 ]; do
  case "$1" in
    -n) runs="$2"; shift 2 ;;
    --keep-input) keep_input=1; shift ;;
    -h|--help) sed -n '2,26p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown argument: $1" >&2; exit 2 ;;
    *)
      case " ${all_rows[*]} " in
        *" $1 "*) rows+=("$1"); shift ;;
        *) echo "unknown row: $1 (${all_rows[*]})" >&2; exit 2 ;;
      esac ;;
  esac
done
bench_need_number -n "$runs"
[ ${#rows[@]} -gt 0 ] || rows=("${all_rows[@]}")

progs="$bench_shm/kxdd-bench-progs-512M.bin"
images="$bench_shm/kxdd-bench-images"
bench_cleanup_hook() { [ "$keep_input" -eq 1 ] || rm -rf "$progs" "$images" "${bench_in:-}"; }
bench_setup
out="$bench_tmp/out"
kx_log="$bench_tmp/kx.log"
cores=$(nproc)
load_start=$(bench_load)
failed=()
die() { echo "$*" >&2; exit 1; }

# The AFF4 library is built beside the binary; the wrapper builds only kxdd.
need_aff4_lib() {
  local o
  o=$(cmake --build "$bench_root/build/release" --target aff4 2>&1) || { printf '%s\n' "$o" >&2; exit 1; }
}

# 512 MiB of program files, in a fixed order so that every machine with the
# same files makes the same input. Files already compressed are left out.
make_progs() {
  [ -f "$progs" ] && [ "$(stat -c %s "$progs")" -eq $((512 << 20)) ] && return 0
  echo "making $progs (512 MiB of program files)" >&2
  find /usr/bin /usr/sbin /usr/lib /usr/libexec -type f -size +16k \
    ! -name '*.gz' ! -name '*.xz' ! -name '*.zst' ! -name '*.bz2' ! -name '*.zip' ! -name '*.jar' 2>/dev/null |
    LC_ALL=C sort -u | xargs -d '\n' cat 2>/dev/null | head -c $((512 << 20)) >"$progs.tmp" || true
  [ "$(stat -c %s "$progs.tmp")" -eq $((512 << 20)) ] || die "fewer than 512 MiB of program files here"
  mv "$progs.tmp" "$progs"
}

# image ROW: the path of the row's image, made when missing or older than the input.
image() {
  local f
  case "$1" in
    aff4-deflate) f=$images/progs-deflate.aff4 ;;
    aff4-snappy) f=$images/progs-snappy.aff4 ;;
    qcow2) f=$images/progs.qcow2 ;;
    vhdx) f=$images/progs.vhdx ;;
    vmdk) f=$images/progs.vmdk ;;
    vhd) f=$images/progs.vhd ;;
    ewf) f=$images/progs.E01 ;;
    kxz-read) f=$images/progs.kxz ;;
    lz4) f=$images/progs.lz4 ;;
  esac
  if [ ! -f "$f" ] || [ "$f" -ot "$progs" ]; then
    mkdir -p "$images"
    echo "making $f" >&2
    rm -f "$f"
    case "$1" in
      aff4-*) /usr/bin/python3 "$bench_root/bench/make_aff4_image.py" "${1#aff4-}" "$progs" "$f" ;;
      qcow2) qemu-img convert -q -f raw -O qcow2 "$progs" "$f" ;;
      vhdx) qemu-img convert -q -f raw -O vhdx "$progs" "$f" ;;
      vmdk) qemu-img convert -q -f raw -O vmdk "$progs" "$f" ;;
      # force_size: the size as it is, not rounded to a disk geometry.
      vhd) qemu-img convert -q -f raw -O vpc -o subformat=dynamic,force_size=on "$progs" "$f" ;;
      # Fast deflate, 32 KiB chunks: what an acquisition usually writes.
      ewf) ewfacquirestream -q -c deflate:fast -b 64 -S 4G -t "${f%.E01}" <"$progs" >/dev/null ;;
      kxz-read) "$bench_kxdd" if="$progs" of="$f" 2>"$bench_tmp/make.log" || { cat "$bench_tmp/make.log" >&2; exit 1; } ;;
      lz4) lz4 -q -1 "$progs" "$f" ;;
    esac
    [ -f "$f" ] || die "no image $f was made"
  fi
  echo "$f"
}

row_cmd() {
  local c="bench/images_vs_tools.sh -n $runs"
  [ "$cores" -eq "$(nproc --all)" ] || c="taskset -c $(taskset -pc $$ | sed 's/.*: //') $c"
  echo "$c $1"
}

# row KEY KXDD_S PEER PEER_S GOAL_TEXT GOAL
row() {
  local r verdict
  r=$(bench_ratio "$2" "$4")
  if awk -v r="$r" -v g="$6" 'BEGIN { exit !(r <= g) }'; then verdict=met; else verdict="NOT met"; failed+=("$1"); fi
  printf '| %s | %s | %s s | %s | %s s | %s | %s | %s | `%s` |\n' "$1" "$cores" "$2" "$3" "$4" "$r" "$5" "$verdict" \
    "$(row_cmd "$1")"
}

# rm_out FN: removes the output the timed function FN is about to write.
rm_out() { case "$1" in kx_*) rm -f "$out.kx" "$out.kxz" ;; *) rm -f "$out.peer" "$out.peer.raw" "$out.lz4" ;; esac; }
check_out() {
  cmp -s "$progs" "$out.kx" || die "kxdd's output differs from the input"
  [ ! -f "$out.peer" ] || cmp -s "$progs" "$out.peer" || die "the peer's output differs from the input"
}

# The timed commands; img is the row's image.
kx_null() { "$bench_kxdd" if="$img" of=/dev/null 2>"$kx_log"; }
kx_null_md5() { "$bench_kxdd" if="$img" of=/dev/null status=md5 2>"$kx_log"; }
kx_pinned() { taskset -c "$first_cpu" "$bench_kxdd" if="$img" of=/dev/null 2>"$kx_log"; }
kx_raw() { "$bench_kxdd" if="$img" of="$out.kx" 2>"$kx_log"; }
kx_kxz() { "$bench_kxdd" if="$progs" of="$out.kxz" 2>"$kx_log"; }
peer_qemu() { qemu-img convert -S 0 -O raw "$img" "$out.peer"; }
peer_ewf() { ewfexport -q -u -f raw -t "$out.peer" "$img" >/dev/null 2>&1; }
peer_unlz4() { lz4 -q -d "$img_lz4" "$out.peer"; }
peer_lz4() { lz4 -q -1 "$progs" "$out.lz4"; }
kx_hash() { "$bench_kxdd" if="$bench_in" hash_mode=xxh3 >/dev/null 2>"$kx_log"; }
peer_xxh128sum() { xxh128sum "$bench_in" >"$bench_tmp/xxh.out" 2>/dev/null; }

check_md5() {
  [ "$(bench_log_digest "$kx_log" MD5)" = "$want_md5" ] || die "the image does not read as the input: MD5 $(bench_log_digest "$kx_log" MD5)"
}
check_ewf() {
  # ewfexport names a raw target with ".raw" unless it has it.
  [ ! -f "$out.peer.raw" ] || mv "$out.peer.raw" "$out.peer"
  check_out
}
check_kxz() {
  "$bench_kxdd" if="$out.kxz" of="$out.kx" 2>"$bench_tmp/back.log" || die "kxdd cannot read back its image"
  check_out
  lz4 -q -d -c "$out.lz4" | cmp -s "$progs" - || die "lz4's output does not read back as the input"
}
check_xxh3() {
  [ "$(bench_log_digest "$kx_log" XXH3)" = "$(awk '{ print $1; exit }' "$bench_tmp/xxh.out")" ] ||
    die "digest mismatch for xxh3: kxdd '$(bench_log_digest "$kx_log" XXH3)'"
}

row_aff4() {
  need_aff4_lib
  img=$(image "$1")
  first_cpu=$(taskset -pc $$ | sed 's/.*: //; s/[-,].*//')
  # The image reads as the input.
  want_md5=$(md5sum "$progs" | awk '{ print $1 }')
  bench_time kx_null_md5
  check_md5
  bench_alternate "$runs" kx_null kx_pinned
  local goal text
  if [ "$cores" -ge 8 ]; then
    goal=0.30
    text="<= 0.30 (8+ cores)"
  else
    goal=$(awk -v c="$cores" 'BEGIN { printf "%.2f", 1.3 / c + 0.15 }')
    text="<= $goal (1.3/$cores + 0.15)"
  fi
  row "$1" "$bench_med_a" "kxdd pinned to cpu $first_cpu" "$bench_med_b" "$text" "$goal"
}

row_qemu() {
  img=$(image "$1")
  bench_alternate "$runs" kx_raw peer_qemu check_out rm_out
  row "$1" "$bench_med_a" "qemu-img convert -S 0 -O raw" "$bench_med_b" "<= 1.00" 1.00
}

row_aff4-deflate() { row_aff4 aff4-deflate; }
row_aff4-snappy() { row_aff4 aff4-snappy; }
row_qcow2() { row_qemu qcow2; }
row_vhdx() { row_qemu vhdx; }
row_vmdk() { row_qemu vmdk; }
row_vhd() { row_qemu vhd; }

row_ewf() {
  img=$(image ewf)
  bench_alternate "$runs" kx_raw peer_ewf check_ewf rm_out
  row ewf "$bench_med_a" "ewfexport -f raw" "$bench_med_b" "<= 0.60" 0.60
}

row_kxz-read() {
  img=$(image kxz-read)
  img_lz4=$(image lz4)
  bench_alternate "$runs" kx_raw peer_unlz4 check_out rm_out
  row kxz-read "$bench_med_a" "lz4 -d" "$bench_med_b" "<= 0.35" 0.35
}

row_kxz-write() {
  bench_alternate "$runs" kx_kxz peer_lz4 check_kxz rm_out
  row kxz-write "$bench_med_a" "lz4 -1" "$bench_med_b" "<= 0.35" 0.35
}

row_xxh3() {
  bench_input 1024
  bench_alternate "$runs" kx_hash peer_xxh128sum check_xxh3
  row xxh3 "$bench_med_a" xxh128sum "$bench_med_b" "<= 1.00" 1.00
}

make_progs
printf 'kxdd %s, %d cores, 512 MiB of program files in %s, %d alternating runs per timing (medians); load average at start %s\n\n' \
  "$(git -C "$bench_root" describe --always --dirty 2>/dev/null || echo '?')" "$cores" "$bench_shm" "$runs" "$load_start"
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
