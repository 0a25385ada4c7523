# Part of bench/history.bench.sh: makes the histories it feeds to the
# store, from this project's own files at one commit, under
# $history_material, each kept until its sizes, its commit or the script
# that makes it change. Sizes come from the caller (history_* variables).
#
# Material (folder: what it holds, one file per version):
#   text      the documentation joined into one Markdown handbook, saved after
#             every change of at most five lines (text-history.sh)
#   odt docx pdf ods xlsx
#             LibreOffice saves of the handbook and of a growing table of the
#             commits (office-history.sh); left out when pandoc or
#             LibreOffice is missing and cannot be installed, and in a smoke pass
#   office/odt-large
#             LibreOffice saves of about 200 KiB, of the handbook's saves
#             followed by the sources (large, by fitted-history.sh)
#   lines     a document of 64 KiB edited line by line: the handbook's history
#             saved after every line, then the command-line sources' one
#             (fitted-history.sh)
#   mib       a document of 1 MiB: the handbook's saves followed by the sources
#   unchanged one file of incompressible bytes, saved again unchanged
#   sparse    one sparse file with 16 extents of data
#   tiny      small documents in folders of 100, cut from the sources

history_scripts=$ROOT/bench/material
history_notes=()

history_commit=${BENCH_HISTORY_COMMIT:-9bb1a7e7ee02cb65255738b4bf97df87617ee459}
if ! git -C "$ROOT" rev-parse -q --verify "$history_commit^{commit}" >/dev/null; then
  if ! history_head=$(git -C "$ROOT" rev-parse -q --verify HEAD); then
    echo "bench/run: the history benchmark makes its material from this project's git history; $ROOT has none" >&2
    exit 1
  fi
  history_notes+=("The material's commit $history_commit is not in this clone, so it was made from HEAD ($history_head): its numbers compare with other runs' only if they did the same.")
  history_commit=$history_head
fi

# history_make NAME SCRIPT ARGUMENT...: runs SCRIPT (of bench/material) to fill
# the material folder NAME unless it holds what these arguments made with
# these scripts from the same other material (one history is made from another).
history_make() {
  local name=$1 script=$2
  shift 2
  local folder=$history_material/$name
  local key argument
  key="$history_commit $* $(cat "$history_scripts"/*.sh | cksum)"
  for argument in "$@"; do
    if [ "$argument" != "$folder" ] && [ -f "$argument.made" ]; then
      key+=" $(cksum <"$argument.made")"
    fi
  done
  [ "$(cat "$folder.made" 2>/dev/null)" = "$key" ] && return 0
  echo "bench/run: making the $name history" >&2
  rm -rf "$folder" "$folder.made"
  mkdir -p "$folder"
  if ! "$history_scripts/$script" "$@"; then
    rm -rf "$folder"
    return 1
  fi
  echo "$key" >"$folder.made"
}

# history_make_with_helper NAME WHAT...: the same for material made by
# history_bench, whose key is its arguments.
history_make_with_helper() {
  local name=$1
  shift
  local folder=$history_material/$name
  [ "$(cat "$folder.made" 2>/dev/null)" = "$*" ] && return 0
  echo "bench/run: making the $name material" >&2
  rm -rf "$folder" "$folder.made"
  mkdir -p "$folder"
  "$BENCH_BIN/history_bench" "$@"
  echo "$*" >"$folder.made"
}

history_handbook=(README.md CONTRIBUTING.md docs/ARCHITECTURE.md docs/STORE.md docs/PERFORMANCE.md)
mkdir -p "$history_material"
history_make text text-history.sh "$ROOT" "$history_commit" 5 "$history_text_saves" \
  "$history_material/text" "${history_handbook[@]}"
# A smoke pass fits the handbook's saves, which it has already.
if [ -n "$SMOKE" ]; then
  history_lines_sources=("$history_material/text")
else
  history_make text-by-line text-history.sh "$ROOT" "$history_commit" 1 "$history_lines_count" \
    "$history_material/text-by-line" "${history_handbook[@]}"
  history_make cli-by-line text-history.sh "$ROOT" "$history_commit" 1 "$history_lines_count" \
    "$history_material/cli-by-line" src/cli
  history_lines_sources=("$history_material/text-by-line" "$history_material/cli-by-line")
fi
history_make lines fitted-history.sh "$ROOT" "$history_commit" "$history_lines_bytes" "$history_lines_count" \
  "$history_material/lines" "${history_lines_sources[@]}"
history_make mib fitted-history.sh "$ROOT" "$history_commit" "$history_mib_bytes" "$history_mib_count" \
  "$history_material/mib" "$history_material/text"

history_office_kinds=()
if [ "$history_office_count" -gt 0 ]; then
  if ! command -v pandoc >/dev/null || ! command -v soffice >/dev/null; then
    if [ "$(id -u)" -eq 0 ]; then
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        pandoc libreoffice-writer-nogui libreoffice-calc-nogui >/dev/null 2>&1 || true
    fi
  fi
  if command -v pandoc >/dev/null && command -v soffice >/dev/null; then
    # Text for odt files of about 200 KiB, the size taking a version of an
    # office file is timed at.
    history_make large fitted-history.sh "$ROOT" "$history_commit" 589824 16 "$history_material/large" \
      "$history_material/text"
    if history_make office office-history.sh "$ROOT" "$history_commit" "$history_material/text" \
      "$history_office_count" "$history_material/office" "$history_material/large"; then
      history_office_kinds=(odt docx pdf ods xlsx)
    else
      history_notes+=("The LibreOffice histories were left out: LibreOffice could not save them (above).")
    fi
  else
    history_notes+=("The LibreOffice histories were left out: pandoc, libreoffice-writer-nogui and libreoffice-calc-nogui are needed.")
  fi
fi

# The corpus small documents are cut from: the C++ sources, as fitted-history.sh takes them.
if [ "$(cat "$history_material/corpus.made" 2>/dev/null)" != "$history_commit" ]; then
  git -C "$ROOT" archive --format=tar "$history_commit" src tests | tar -xO --wildcards '*.h' '*.cpp' \
    >"$history_material/corpus"
  echo "$history_commit" >"$history_material/corpus.made"
fi
history_make_with_helper unchanged noise 8 "$history_unchanged_bytes" "$history_material/unchanged/document.bin"
history_make_with_helper sparse sparse 16 "$history_sparse_bytes" "$history_sparse_data" \
  "$history_material/sparse/document.img"
history_make_with_helper tiny tiny "$history_material/corpus" "$history_material/tiny" "$history_tiny_count" 200
