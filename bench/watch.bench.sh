# The watcher, run as its service runs it (`strataloom-cli watch run`, readiness
# told through NOTIFY_SOCKET), each part with a store, settings and state of its own:
# - its first versions of a folder of 2,000 files of 64 KiB, from start to
#   readiness, against `cp -a` + `sync -f` of the folder (target 1.3x);
# - its start-up scan of 100,000 unchanged files in 10,000 folders (target 2 s;
#   `du -s` of the tree, which also examines every file, for reference);
# - the same watcher left idle for 60 s: wakeups and CPU time (target 0 and 0),
#   resident memory (target 30 MiB) and its peak since start (target 64 MiB);
# WATCH_BENCH_FOLDERS (default 10000, of 10 files each) and WATCH_BENCH_IDLE
# (seconds, default 60) make a shorter run while working on the watcher.
# - 200 saves, 125 ms apart over 20 files, with the default quiet period of 2 s:
#   from each save's close to its version's log line, median and 95th percentile
#   (target the quiet period + 0.3 s).

watch_work=$BENCH_WORK/watch
watch_folders=${WATCH_BENCH_FOLDERS:-10000}
watch_idle=${WATCH_BENCH_IDLE:-60}
watch_files=$((watch_folders * 10))
watch_thousands() { echo "$1" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta'; }
watch_files_text=$(watch_thousands "$watch_files")
watch_folders_text=$(watch_thousands "$watch_folders")
# watch_env NAME: the environment of part NAME, for a command line.
watch_env() {
  echo "XDG_DATA_HOME='$watch_work/$1/data' XDG_CONFIG_HOME='$watch_work/$1/config' XDG_STATE_HOME='$watch_work/$1/state'"
}
# watch_folder NAME FOLDER: part NAME watches FOLDER.
watch_folder() {
  mkdir -p "$watch_work/$1/data" "$watch_work/$1/config" "$watch_work/$1/state"
  eval "$(watch_env "$1") '$BENCH_CLI' watch add '$2'" >/dev/null
}

if [ ! -f "$watch_work/baseline.done" ]; then
  rm -rf "$watch_work/baseline"
  mkdir -p "$watch_work/baseline/source"
  for i in $(seq -w 1 2000); do
    head -c 65536 /dev/urandom >"$watch_work/baseline/source/v$i"
  done
  watch_folder baseline "$watch_work/baseline/source"
  touch "$watch_work/baseline.done"
fi
row "watcher's first versions of 2,000 files of 64 KiB" \
  "$(watch_env baseline) '$BENCH_BIN/watch_bench' ready '$BENCH_CLI'" \
  "cp -a '$watch_work/baseline/source' '$watch_work/baseline/copy' && sync -f '$watch_work/baseline/copy'" \
  "discard '$watch_work/baseline/data/strataloom' '$watch_work/baseline/copy'; sync"
discard "$watch_work/baseline/data/strataloom" "$watch_work/baseline/copy"

# The tree's first versions are taken once, untimed; every timed start finds
# them all unchanged.
if [ "$(cat "$watch_work/tree.done" 2>/dev/null)" != "$watch_folders" ]; then
  rm -rf "$watch_work/tree"
  mkdir -p "$watch_work/tree/folders"
  "$BENCH_BIN/watch_bench" tree "$watch_work/tree/folders" "$watch_folders" 10
  watch_folder tree "$watch_work/tree/folders"
  eval "$(watch_env tree) '$BENCH_BIN/watch_bench' ready '$BENCH_CLI'"
  echo "$watch_folders" >"$watch_work/tree.done"
fi
row "watcher's start-up scan of $watch_files_text unchanged files" \
  "$(watch_env tree) '$BENCH_BIN/watch_bench' ready '$BENCH_CLI'" \
  "du -s '$watch_work/tree/folders'"

echo "bench/run: watcher idle for $watch_idle s" >&2
read -r watch_wakeups watch_ticks watch_rss watch_peak < <(eval "$(watch_env tree) '$BENCH_BIN/watch_bench' idle '$BENCH_CLI' '$watch_idle'")

echo "bench/run: watcher latency of 200 saves" >&2
rm -rf "$watch_work/latency"
mkdir -p "$watch_work/latency/documents"
watch_folder latency "$watch_work/latency/documents"
read -r watch_median watch_p95 < <(eval "$(watch_env latency) '$BENCH_BIN/watch_bench' latency '$BENCH_CLI' '$watch_work/latency/documents' 200")
discard "$watch_work/latency"

watch_verdict() { awk -v v="$1" -v l="$2" 'BEGIN { print (v <= l) ? "met" : "**missed**" }'; }
watch_cpu_ms=$((watch_ticks * 1000 / $(getconf CLK_TCK)))
section "## The watcher

Measured on a watcher watching $watch_folders_text folders that hold $watch_files_text files, once its start-up
scan was done, and with 200 saves 125 ms apart over 20 files (default quiet period of 2 s).
Latency runs from the close of a save to the watcher's log line for its version, written
once the version is listed.

| Measure | Value | Target | |
| --- | ---: | ---: | --- |
| Wakeups in $watch_idle s idle (voluntary + involuntary context switches) | $watch_wakeups | 0 | $(watch_verdict "$watch_wakeups" 0) |
| CPU time in $watch_idle s idle | $watch_cpu_ms ms | 0 ms | $(watch_verdict "$watch_cpu_ms" 0) |
| Resident memory, idle | $(awk -v k="$watch_rss" 'BEGIN { printf "%.1f MiB", k / 1024 }') | 30 MiB | $(watch_verdict "$watch_rss" 30720) |
| Resident memory, peak from start to idle | $(awk -v k="$watch_peak" 'BEGIN { printf "%.1f MiB", k / 1024 }') | 64 MiB | $(watch_verdict "$watch_peak" 65536) |
| Latency from save to version, median | $watch_median ms | 2,300 ms | $(watch_verdict "$watch_median" 2300) |
| Latency from save to version, 95th percentile | $watch_p95 ms | 2,300 ms | $(watch_verdict "$watch_p95" 2300) |"
