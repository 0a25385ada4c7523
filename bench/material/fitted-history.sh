#!/usr/bin/env bash
# fitted-history.sh REPOSITORY COMMIT BYTES COUNT OUT_FOLDER HISTORY_FOLDER...
# A document of exactly BYTES bytes edited as the histories made by
# text-history.sh were, one after the other: each save is the history's
# document followed by this project's C++ sources at COMMIT, cut at BYTES.
# A save that the cut leaves equal to the one before is dropped. Writes
# OUT_FOLDER/00001.txt, 00002.txt, ..., COUNT of them; fails if the histories
# are too short.
set -euo pipefail
repository=$1 commit=$2 bytes=$3 count=$4 out=$5
shift 5
export LC_ALL=C

mkdir -p "$out"
filler=$(mktemp)
trap 'rm -f "$filler"' EXIT
git -C "$repository" archive --format=tar "$commit" src tests | tar -xO --wildcards '*.h' '*.cpp' >"$filler"
while [ "$(stat -c %s "$filler")" -lt "$bytes" ]; do
  cat "$filler" "$filler" >"$filler.twice"
  mv "$filler.twice" "$filler"
done

made=0 previous=
for history in "$@"; do
  for save in "$history"/*; do
    next=$out/$(printf '%05d' $((made + 1))).txt
    head -c "$bytes" "$save" >"$next"
    head -c "$((bytes - $(stat -c %s "$next")))" "$filler" >>"$next"
    if [ -n "$previous" ] && cmp -s "$previous" "$next"; then
      continue
    fi
    made=$((made + 1)) previous=$next
    [ "$made" -eq "$count" ] && exit 0
  done
done
rm -f "$out/$(printf '%05d' $((made + 1))).txt"
echo "fitted-history.sh: the histories give $made distinct saves of $bytes bytes, not $count" >&2
exit 1
