# The version store against `cp -a` of the same files into a folder on the same
# file system. Targets: adding within 1.5x of cp -a; listing under 50 ms.

store_work=$BENCH_WORK/store
if [ ! -f "$store_work/source.done" ]; then
  rm -rf "$store_work"
  mkdir -p "$store_work/source"
  for i in $(seq -w 1 2000); do
    head -c 65536 /dev/urandom >"$store_work/source/v$i"
  done
  touch "$store_work/source.done"
fi
: >"$store_work/document"

# Both start from a clean, written-back state so neither pays for the other's
# dirty pages.
row "add 2,000 versions of 64 KiB" \
  "$BENCH_BIN/store_bench add $store_work/store $store_work/document $store_work/source" \
  "cp -a $store_work/source $store_work/copy" \
  "discard $store_work/store $store_work/copy; sync"

row "list 2,000 versions (and check each)" \
  "$BENCH_BIN/store_bench list $store_work/store $store_work/document" \
  "ls -l --full-time $store_work/copy" \
  "[ -d $store_work/copy ] || cp -a $store_work/source $store_work/copy; [ -f $store_work/store/index.sqlite ] || $BENCH_BIN/store_bench add $store_work/store $store_work/document $store_work/source >/dev/null"
