#!/usr/bin/env bash
# text-history.sh REPOSITORY COMMIT MAX_LINES LIMIT OUT_FOLDER PATH...
# A real text document's edit history, made from this project's own files as
# they stood at each commit of COMMIT's first-parent history that changed
# them: the files PATH... (a folder stands for the files under it, in name
# order) joined into one document, typed from nothing up to the first. Between
# two revisions, the document is saved once after every change of at most
# MAX_LINES lines, as a writer typing through `diff`'s hunks would: state k is
# the new revision up to the end of the k-th step and the old one after it.
# Writes OUT_FOLDER/00001, 00002, ..., at most LIMIT of them (0: all).
# Deterministic for a given COMMIT, MAX_LINES and PATH list; a shallow clone
# with one revision still gives a history, that of its typing.
set -euo pipefail
repository=$1 commit=$2 max_lines=$3 limit=$4 out=$5
shift 5
documents=("$@")
export LC_ALL=C

mkdir -p "$out"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# joined REVISION: the documents joined, those missing at REVISION left out.
joined() {
  local path file
  for path in "${documents[@]}"; do
    while read -r file; do
      git -C "$repository" show "$1:$file"
    done < <(git -C "$repository" ls-tree -r --name-only "$1" -- "$path")
  done
}

count=0
save() {
  count=$((count + 1))
  cp "$1" "$out/$(printf '%05d' "$count")"
  if [ "$count" = "$limit" ]; then
    exit 0
  fi
}

: >"$scratch/old"
while read -r revision; do
  joined "$revision" >"$scratch/new"
  # Each hunk of the normal format ("A1,A2cB1,B2", "A1aB1,B2", "A1,A2dB1")
  # split into steps of at most MAX_LINES old and new lines; a step ends at
  # old line A and new line B, and the state after it is new[1..B] old[A+1..].
  { diff "$scratch/old" "$scratch/new" || [ $? -eq 1 ]; } |
    awk -v step="$max_lines" '
      /^[0-9]/ {
        split($0, parts, /[acd]/)
        kind = substr($0, length(parts[1]) + 1, 1)
        n = split(parts[1], a, ","); a1 = a[1]; a2 = (n > 1) ? a[2] : a[1]
        n = split(parts[2], b, ","); b1 = b[1]; b2 = (n > 1) ? b[2] : b[1]
        if (kind == "a") { olds = 0; news = b2 - b1 + 1; a0 = a1; b0 = b1 - 1 }
        else if (kind == "d") { olds = a2 - a1 + 1; news = 0; a0 = a1 - 1; b0 = b1 }
        else { olds = a2 - a1 + 1; news = b2 - b1 + 1; a0 = a1 - 1; b0 = b1 - 1 }
        steps = int(((olds > news ? olds : news) + step - 1) / step)
        for (s = 1; s <= steps; s++) {
          o = int(olds * s / steps); w = int(news * s / steps)
          print a0 + o, b0 + w
        }
      }' >"$scratch/steps"
  while read -r old_end new_end; do
    { head -n "$new_end" "$scratch/new"; tail -n "+$((old_end + 1))" "$scratch/old"; } >"$scratch/state"
    save "$scratch/state"
  done <"$scratch/steps"
  # The last step of the last hunk leaves exactly the new revision.
  if [ -s "$scratch/steps" ] && ! cmp -s "$scratch/state" "$scratch/new"; then
    echo "text-history.sh: replaying $revision did not give the revision" >&2
    exit 1
  fi
  mv "$scratch/new" "$scratch/old"
done < <(git -C "$repository" log --first-parent --reverse --format=%H "$commit" -- "${documents[@]}")
[ "$count" -gt 0 ] || { echo "text-history.sh: no revisions of ${documents[*]} up to $commit" >&2; exit 1; }
