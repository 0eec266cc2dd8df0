#!/usr/bin/env bash
# Scans the same tree of N MP3 files with Kavelin's InfoReader and with MPD's
# database update, and prints files/s, CPU time and peak RSS of both.
#   bench/scan_vs_mpd.sh N
# MPD runs its update at idle priority, so on a busy machine its wall-clock
# rate falls far below what its CPU time allows; cpu_speedup_vs_mpd compares
# the work each does per file.
# The tree is made once and kept in ${KAVELIN_BENCH_CACHE:-/var/tmp/kavelin-bench}.
set -euo pipefail
count=${1:?usage: bench/scan_vs_mpd.sh N}
cd "$(dirname "$0")/.."
repo=$PWD
cache=${KAVELIN_BENCH_CACHE:-/var/tmp/kavelin-bench}
build=${KAVELIN_BENCH_BUILD:-build/bench}
port=${KAVELIN_BENCH_MPD_PORT:-16600}

scripts/install-deps
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAVELIN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target kavelin_scan_bench >/dev/null

mkdir -p "$cache"
tree=$(python3 bench/make_tree.py "$count" "$cache")
echo "tree=$tree files=$count"
# Both scanners read from a warm page cache.
find "$tree" -type f -print0 | xargs -0 cat >/dev/null

work=$(mktemp -d)
mpd_pid=""
cleanup() {
  if [ -n "$mpd_pid" ]; then
    kill "$mpd_pid" 2>/dev/null || true
    wait "$mpd_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# (a) Kavelin: a fresh catalog, the tree's root queued, drained until the queue is empty.
"$repo/$build/bench/kavelin_scan_bench" "$work/Kavelin.mdb" "$tree" | tee "$work/kavelin.txt"
kavelin_rate=$(sed -n 's/^kavelin_files_per_s=//p' "$work/kavelin.txt")
kavelin_cpu_rate=$(sed -n 's/^kavelin_files_per_cpu_s=//p' "$work/kavelin.txt")

# (b) MPD: a private instance on loopback with a null output and a fresh database.
# It starts on an empty music directory (its automatic first update is then
# instant); the tree is swapped in before the measured full update.
mkdir "$work/music"
cat >"$work/mpd.conf" <<CONF
music_directory "$work/music"
db_file "$work/mpd.db"
log_file "$work/mpd.log"
state_file "$work/mpd.state"
bind_to_address "127.0.0.1"
port "$port"
zeroconf_enabled "no"
audio_output {
  type "null"
  name "null"
}
CONF
mpd --no-daemon "$work/mpd.conf" 2>"$work/mpd.err" &
mpd_pid=$!
for _ in $(seq 100); do
  mpc -p "$port" status >/dev/null 2>&1 && break
  sleep 0.1
done
mpc -p "$port" update --wait >/dev/null
rmdir "$work/music"
ln -s "$tree" "$work/music"
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$mpd_pid/stat"; }
cpu_start=$(cpu_ticks)
start=$(date +%s.%N)
mpc -p "$port" update --wait >/dev/null
end=$(date +%s.%N)
cpu_end=$(cpu_ticks)
mpd_songs=$(mpc -p "$port" stats | sed -n 's/^Songs: *//p')
mpd_rss=$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$mpd_pid/status")
awk -v files="$mpd_songs" -v start="$start" -v end="$end" -v rss="$mpd_rss" \
  -v ticks=$((cpu_end - cpu_start)) -v hz="$(getconf CLK_TCK)" \
  -v kavelin="$kavelin_rate" -v kavelin_cpu="$kavelin_cpu_rate" 'BEGIN {
    seconds = end - start
    cpu = ticks / hz
    printf "mpd_files=%d\nmpd_seconds=%.3f\nmpd_files_per_s=%.1f\n", files, seconds, files / seconds
    printf "mpd_cpu_seconds=%.3f\nmpd_files_per_cpu_s=%.1f\n", cpu, (cpu > 0 ? files / cpu : 0)
    printf "mpd_peak_rss_kb=%d\n", rss
    if (cpu > 0) printf "cpu_speedup_vs_mpd=%.2f\n", (kavelin_cpu / (files / cpu))
    printf "speedup_vs_mpd=%.2f\n", kavelin / (files / seconds)
  }'
