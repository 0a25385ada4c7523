#!/usr/bin/env bash
# The benchmarks' material, made from a small git history of our own:
# text-history.sh replays every revision through steps of at most the lines
# asked, fitted-history.sh cuts distinct saves to size, and history_bench
# makes the same bytes for the same seed, holes where asked, and distinct
# small documents.
#   material_test.sh MATERIAL_FOLDER HISTORY_BENCH
set -u
material=$1 helper=$2
status=0
fail() { echo "material_test: $*" >&2; status=1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LC_ALL=C HOME=$work GIT_CONFIG_NOSYSTEM=1
repository=$work/repository
git init -q "$repository"
git -C "$repository" config user.name Test
git -C "$repository" config user.email test@localhost

# commit MESSAGE: commits whatever the caller wrote into the repository.
commit() {
  git -C "$repository" add -A
  git -C "$repository" commit -q -m "$1"
}

# Revisions of two documents, the second missing at first: a long change,
# a deletion only, an insertion at the very top, a last line without a
# newline, and a commit that touches neither (and so saves nothing).
seq 1 12 | sed 's/^/line /' >"$repository/a.md"
# The sources fitted saves are filled with, shorter than a save.
mkdir "$repository/src" "$repository/tests"
echo 'int one;' >"$repository/src/one.cpp"
echo '#pragma once' >"$repository/tests/two.h"
commit first
joined1=$(cat "$repository/a.md")
sed -i '3,9c\changed 1\nchanged 2\nchanged 3\nchanged 4\nchanged 5' "$repository/a.md"
printf 'b one\nb two\n' >"$repository/b.md"
commit second
sed -i '2d' "$repository/a.md"
sed -i '1i\top' "$repository/b.md"
commit third
echo other >"$repository/other.txt"
commit unrelated
printf 'last without newline' >>"$repository/b.md"
commit fourth
joined=$(cat "$repository/a.md" "$repository/b.md")

histories=$work/histories
"$material/text-history.sh" "$repository" HEAD 2 0 "$histories/two" a.md b.md || fail "text-history.sh failed"
saves=("$histories/two"/*)
[ "$(cat "${saves[0]}")" = "$(printf 'line 1\nline 2')" ] || fail "the first save is not the first two lines typed"
[ "$(cat "${saves[5]}")" = "$joined1" ] || fail "the first revision is not typed in 6 saves"
[ "$(cat "${saves[-1]}")" = "$joined" ] || fail "the last save is not the last revision"
[ "$(tail -c 20 "${saves[-1]}")" = "last without newline" ] || fail "the last save ends otherwise than the file"
for ((i = 1; i < ${#saves[@]}; i++)); do
  changed=$(diff "${saves[i - 1]}" "${saves[i]}" | awk '/^</ { o++ } /^>/ { n++ } END { print o + 0, n + 0 }')
  read -r old new <<<"$changed"
  if [ $((old + new)) -eq 0 ] || [ "$old" -gt 2 ] || [ "$new" -gt 2 ]; then
    fail "save $i changes $old old and $new new lines, not 1 to 2 of each"
  fi
done
# first: 12 lines typed 2 by 2; second: 7 old lines for 5 new in steps of 2,
# and the new file's 2 lines; third: 2 one-line changes; fourth: 1.
[ ${#saves[@]} -eq $((6 + 4 + 1 + 2 + 1)) ] || fail "${#saves[@]} saves, not 14"
"$material/text-history.sh" "$repository" HEAD 2 3 "$histories/three" a.md b.md || fail "a limited history failed"
[ "$(find "$histories/three" -type f | wc -l)" -eq 3 ] || fail "the limit of 3 saves was not kept"
cmp -s "$histories/three/00003" "$histories/two/00003" || fail "a limited history differs from the whole one"
"$material/text-history.sh" "$repository" HEAD~4 1 0 "$histories/none" b.md 2>/dev/null &&
  fail "a history of a file that did not exist yet was made"

# Fitted saves: every one of the size asked, none equal to the one before,
# and no more than the histories give; padded with the sources (repeated, as
# they are shorter) when 4096 bytes, and cut when 30, where most saves differ
# only beyond the cut.
for case in "4096 5" "30 3"; do
  read -r bytes count <<<"$case"
  "$material/fitted-history.sh" "$repository" HEAD "$bytes" "$count" "$work/fitted$bytes" "$histories/two" ||
    fail "fitted-history.sh failed for $bytes bytes"
  fitted=("$work/fitted$bytes"/*)
  [ ${#fitted[@]} -eq "$count" ] || fail "${#fitted[@]} fitted saves of $bytes bytes, not $count"
  for ((i = 0; i < ${#fitted[@]}; i++)); do
    [ "$(stat -c %s "${fitted[i]}")" -eq "$bytes" ] || fail "fitted save $i is not $bytes bytes"
    ((i > 0)) && cmp -s "${fitted[i - 1]}" "${fitted[i]}" && fail "fitted saves $((i - 1)) and $i of $bytes bytes are equal"
  done
done
grep -q 'pragma once' "$work/fitted4096/00001.txt" || fail "a short save is not filled with the sources"
if "$material/fitted-history.sh" "$repository" HEAD 30 9 "$work/short" "$histories/two" 2>/dev/null; then
  fail "fitted-history.sh made more saves of 30 bytes than there are distinct ones"
fi

# The helper: the same bytes for the same seed, others for another, not
# compressible; a sparse file of holes but for its data; small documents
# all distinct and of their size, in folders of 100.
"$helper" noise 7 100000 "$work/noise-a" && "$helper" noise 7 100000 "$work/noise-b" && "$helper" noise 8 100000 "$work/noise-c" ||
  fail "noise failed"
cmp -s "$work/noise-a" "$work/noise-b" || fail "noise differs for the same seed"
cmp -s "$work/noise-a" "$work/noise-c" && fail "noise is the same for two seeds"
[ "$(stat -c %s "$work/noise-a")" -eq 100000 ] || fail "noise is not of the size asked"
[ "$(gzip -9 -c "$work/noise-a" | wc -c)" -gt 99000 ] || fail "noise compresses"
"$helper" sparse 7 $((64 << 20)) $((1 << 20)) "$work/sparse" || fail "sparse failed"
[ "$(stat -c %s "$work/sparse")" -eq $((64 << 20)) ] || fail "the sparse file is not of the size asked"
allocated=$(du -B1 "$work/sparse" | cut -f1)
[ "$allocated" -ge $((1 << 20)) ] && [ "$allocated" -le $((2 << 20)) ] ||
  fail "the sparse file takes $allocated bytes for 1 MiB of data"
"$helper" sparse 7 1000 999 "$work/odd" 2>/dev/null && fail "a sparse file of data in unequal extents was made"
printf 'short corpus, cut into documents again and again\n' >"$work/corpus"
mkdir "$work/tiny"
"$helper" tiny "$work/corpus" "$work/tiny" 250 200 || fail "tiny failed"
[ "$(find "$work/tiny" -mindepth 1 -maxdepth 1 -type d | wc -l)" -eq 3 ] || fail "250 documents are not in 3 folders"
[ "$(find "$work/tiny" -type f -size 200c | wc -l)" -eq 250 ] || fail "not 250 documents of 200 bytes"
[ "$(find "$work/tiny" -type f -exec md5sum {} + | cut -d ' ' -f 1 | sort -u | wc -l)" -eq 250 ] ||
  fail "the small documents are not all distinct"
exit $status
