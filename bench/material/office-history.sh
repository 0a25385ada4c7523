#!/usr/bin/env bash
# office-history.sh REPOSITORY COMMIT TEXT_HISTORY COUNT OUT_FOLDER
# Office documents saved by LibreOffice (headless), COUNT saves of each kind:
# - odt, docx and pdf: the last COUNT saves of the Markdown history
#   TEXT_HISTORY made by text-history.sh, a few lines apart each, where the
#   document has grown to its full size, each rendered to HTML by pandoc and
#   saved by LibreOffice Writer;
# - ods and xlsx: a table of this project's commits up to COMMIT (date,
#   commit, file, lines added and removed, subject; `git log --numstat`),
#   growing by a COUNT-th of its rows at each save, saved by LibreOffice Calc.
# Writes OUT_FOLDER/<kind>/00001.<kind>, ... LibreOffice stamps the time of
# saving inside each file, so the bytes differ from one generation to the
# next; bench/history.bench.sh keeps the files it made. Needs pandoc and
# soffice (Debian: pandoc, libreoffice-writer-nogui, libreoffice-calc-nogui).
set -euo pipefail
repository=$1 commit=$2 history=$3 count=$4 out=$5
export LC_ALL=C.UTF-8
for tool in pandoc soffice; do
  command -v "$tool" >/dev/null || { echo "office-history.sh: $tool is not installed" >&2; exit 1; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/html" "$scratch/csv"

# LibreOffice with a profile of its own, so that it neither meets a running
# instance nor leaves anything in the user's home.
office() {
  local input=$1 kind=$2
  shift 2
  mkdir -p "$out/$kind"
  HOME=$scratch soffice --headless --norestore --nolockcheck "-env:UserInstallation=file://$scratch/profile" \
    --infilter="$input" --convert-to "$kind" --outdir "$out/$kind" "$@" >/dev/null 2>&1 || true
  local made
  made=$(find "$out/$kind" -name "*.$kind" | wc -l)
  [ "$made" -eq "$count" ] || { echo "office-history.sh: LibreOffice saved $made of $count $kind files" >&2; exit 1; }
}

saves=("$history"/*)
[ ${#saves[@]} -ge "$count" ] || { echo "office-history.sh: $history holds fewer than $count saves" >&2; exit 1; }
for ((k = 0; k < count; k++)); do
  pandoc -f gfm -t html5 -s --metadata title=Strataloom "${saves[${#saves[@]} - count + k]}" \
    -o "$scratch/html/$(printf '%05d' $((k + 1))).html"
done
for kind in odt docx pdf; do
  office "HTML (StarWriter)" "$kind" "$scratch/html"/*.html
done

git -C "$repository" log --first-parent --reverse --numstat --format='C%x09%h%x09%as%x09%s' "$commit" |
  awk -F '\t' '
    function quoted(text) { gsub(/"/, "\"\"", text); return "\"" text "\"" }
    $1 == "C" { hash = $2; day = $3; subject = $4; next }
    NF == 3 { print day "," hash "," quoted($3) "," $1 "," $2 "," quoted(subject) }' >"$scratch/rows"
rows=$(wc -l <"$scratch/rows")
for ((k = 1; k <= count; k++)); do
  {
    echo 'Date,Commit,File,Lines added,Lines removed,Subject'
    head -n $(((rows * k + count - 1) / count)) "$scratch/rows"
  } >"$scratch/csv/$(printf '%05d' "$k").csv"
done
for kind in ods xlsx; do
  office "CSV:44,34,76,1" "$kind" "$scratch/csv"/*.csv
done
