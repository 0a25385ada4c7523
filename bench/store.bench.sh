# The version store against `cp -a` of the same files into a folder on the same
# file system followed by `sync -f`, since an add is on disk when it returns.
# Targets: a batch of adds within 1.3x of that durable copy; one save-version
# of 64 KiB within 1.5x of `cp -a` + `sync -f` of that file, one process each;
# listing under 50 ms.

store_work=$BENCH_WORK/store
store_count=$(bench_size 2000 3)
if [ "$(cat "$store_work/source.done" 2>/dev/null)" != "$store_count" ]; then
  rm -rf "$store_work"
  mkdir -p "$store_work/source"
  for ((i = 1; i <= store_count; i++)); do
    head -c 65536 /dev/urandom >"$store_work/source/$(printf 'v%04d' "$i")"
  done
  echo "$store_count" >"$store_work/source.done"
fi
: >"$store_work/document"

# Both start from a clean, written-back state so neither pays for the other's
# dirty pages.
row "add 2,000 versions of 64 KiB in one batch" \
  "$BENCH_BIN/store_bench add $store_work/store $store_work/document $store_work/source" \
  "cp -a $store_work/source $store_work/copy && sync -f $store_work/copy" \
  "discard $store_work/store $store_work/copy; sync"

# A store that exists, as it does for every save but the first.
row "save-version of 64 KiB" \
  "XDG_DATA_HOME='$store_work/data' '$BENCH_CLI' save-version '$store_work/source/v0001'" \
  "cp -a '$store_work/source/v0001' '$store_work/one' && sync -f '$store_work/one'" \
  "discard '$store_work/one'; [ -d '$store_work/data' ] || XDG_DATA_HOME='$store_work/data' '$BENCH_CLI' save-version '$store_work/source/v0002' >/dev/null; sync"
discard "$store_work/data"

row "list 2,000 versions (and check each)" \
  "$BENCH_BIN/store_bench list $store_work/store $store_work/document" \
  "ls -l --full-time $store_work/copy" \
  "[ -d $store_work/copy ] || cp -a $store_work/source $store_work/copy; [ -f $store_work/store/index.sqlite ] || $BENCH_BIN/store_bench add $store_work/store $store_work/document $store_work/source >/dev/null"
