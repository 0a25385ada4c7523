#!/usr/bin/env bash
# office-history.sh REPOSITORY COMMIT TEXT_HISTORY COUNT OUT_FOLDER [LARGE_HISTORY]
# Office documents saved by LibreOffice (headless), COUNT saves of each kind:
# - odt, docx and pdf: the last COUNT saves of the Markdown history
#   TEXT_HISTORY made by text-history.sh, a few lines apart each, where the
#   document has grown to its full size, each rendered to HTML by pandoc and
#   saved by LibreOffice Writer;
# - ods and xlsx: a table of this project's commits up to COMMIT (date,
#   commit, file, lines added and removed, subject; `git log --numstat`),
#   growing by a COUNT-th of its rows at each save, saved by LibreOffice Calc;
# - odt-large: every save of LARGE_HISTORY (text made by fitted-history.sh),
#   rendered and saved as odt is.
# Writes OUT_FOLDER/<kind>/00001.<kind>, ... LibreOffice stamps the time of
# saving inside each file, so the bytes differ from one generation to the
# next; bench/history.bench.sh keeps the files it made. Needs pandoc and
# soffice (Debian: pandoc, libreoffice-writer-nogui, libreoffice-calc-nogui).
set -euo pipefail
repository=$1 commit=$2 history=$3 count=$4 out=$5 large=${6:-}
export LC_ALL=C.UTF-8
for tool in pandoc soffice; do
  command -v "$tool" >/dev/null || { echo "office-history.sh: $tool is not installed" >&2; exit 1; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/csv"

# office FILTER KIND NAME FOLDER: every file of FOLDER, read by LibreOffice's
# import FILTER, saved as KIND into OUT_FOLDER/NAME. LibreOffice runs with a
# profile of its own, so that it neither meets a running instance nor leaves
# anything in the user's home.
office() {
  local filter=$1 kind=$2 folder=$out/$3 inputs=("$4"/*)
  mkdir -p "$folder"
  HOME=$scratch soffice --headless --norestore --nolockcheck "-env:UserInstallation=file://$scratch/profile" \
    --infilter="$filter" --convert-to "$kind" --outdir "$folder" "${inputs[@]}" >/dev/null 2>&1 || true
  local made
  made=$(find "$folder" -name "*.$kind" | wc -l)
  [ "$made" -eq ${#inputs[@]} ] || { echo "office-history.sh: LibreOffice saved $made of ${#inputs[@]} $kind files" >&2; exit 1; }
}

# render FILE...: each file, in turn, as HTML into $scratch/html (emptied first).
render() {
  local file made=0
  rm -rf "$scratch/html"
  mkdir "$scratch/html"
  for file in "$@"; do
    made=$((made + 1))
    pandoc -f gfm -t html5 -s --metadata title=Strataloom "$file" -o "$scratch/html/$(printf '%05d' "$made").html"
  done
}

saves=("$history"/*)
[ ${#saves[@]} -ge "$count" ] || { echo "office-history.sh: $history holds fewer than $count saves" >&2; exit 1; }
render "${saves[@]:${#saves[@]}-count}"
for kind in odt docx pdf; do
  office "HTML (StarWriter)" "$kind" "$kind" "$scratch/html"
done
if [ -n "$large" ]; then
  render "$large"/*
  office "HTML (StarWriter)" odt odt-large "$scratch/html"
fi

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
  office "CSV:44,34,76,1" "$kind" "$kind" "$scratch/csv"
done
