# Part of bench/history.bench.sh: its sections of the report.

history_bytes() {
  awk -v b="$1" 'BEGIN { if (b >= 1048576) printf "%.1f MiB", b / 1048576; else printf "%.0f KiB", b / 1024 }'
}
history_percent() {
  awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f %%", (b > 0 ? 100 * a / b : 0) }'
}
history_mib() {
  [ -z "$1" ] || awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'
}
history_verdict() {
  if [ -n "$SMOKE" ] || [ -z "$2" ]; then
    return
  fi
  awk -v v="$1" -v l="$2" 'BEGIN { print (v <= l) ? "met" : "**missed**" }'
}

history_size_rows=()
for history_entry in "${history_sizes[@]}"; do
  IFS=$history_field read -r label versions whole stored git limit target <<<"$history_entry"
  git_cell=
  [ -n "$git" ] && git_cell="$(history_bytes "$git") ($(history_percent "$git" "$whole"))"
  history_size_rows+=("| $label | $(history_thousands "$versions") | $(history_bytes "$whole") | $(history_bytes "$stored") | $(history_percent "$stored" "$whole") | $git_cell | $target | $(history_verdict "$stored" "$limit") |")
done

history_cost_rows=()
for history_entry in "${history_costs[@]}"; do
  IFS=$history_field read -r label save_ms save_peak compact_ms compact_peak archive_peak <<<"$history_entry"
  peak=$(printf '%s\n' "$save_peak" "${compact_peak:-0}" "$archive_peak" | sort -n | tail -n 1)
  history_cost_rows+=("| $label | ${save_ms:+$save_ms ms} | $(history_mib "$save_peak") | ${compact_ms:+$compact_ms ms} | $(history_mib "$compact_peak") | $(history_mib "$archive_peak") | $(history_verdict "$peak" 65536) |")
done

if [ -n "$history_compact" ]; then
  history_compacted="Each store was compacted with \`strataloom-cli compact\` once its history was in, before it was measured."
else
  history_compacted="This command line has no \`compact\`: each store is measured as its saves left it."
fi
history_office_text=
if [ ${#history_office_kinds[@]} -gt 0 ]; then
  history_office_text=" the office histories are LibreOffice saves of the last $history_office_count of those saves (rendered
to HTML by pandoc) and of a table of the project's commits (\`git log --numstat\`) growing by a
${history_office_count}th at each save;"
fi
section "## History size

What a history takes in the store (\`du -B1\` of the store: index, logs and stored files)
against every version kept as a file of its own (\`du -B1\`, same file system, same run), and
against a bare git repository of the same versions after \`git gc --aggressive\`. Each history
goes into a fresh store by \`save-version\` after each save, unless said otherwise, and every
version is read back through \`archive\` and compared byte for byte before it counts.
$history_compacted

| History | Versions | Whole copies | Stored | Stored / whole | git gc --aggressive | Target | |
| --- | ---: | ---: | ---: | ---: | ---: | --- | --- |
$(printf '%s\n' "${history_size_rows[@]}")

The sparse file read back through \`archive\` took $(history_bytes "$history_sparse_back") on disk.
The unchanged saves are measured against as many copies, so their target, 1.01 times one
copy, is that divided by their number. The material (\`bench/material/\`, from commit ${history_commit:0:12}):
the handbook is README.md, CONTRIBUTING.md and docs/*.md joined, as each commit that changed
them left them, replayed through \`diff\`'s hunks and saved after every change of at most five
lines;$history_office_text the documents of 64 KiB and 1 MiB are such saves (for 64 KiB, saved after every
line, then the command-line sources' history alike) followed by the C++ sources, cut to size; the
unchanged and sparse files hold incompressible bytes, and the small documents are cut from the
sources.
$(printf '%s\n' "${history_notes[@]}")

## History cost

Peak memory (largest resident set) of every command the histories above ran, and the mean time
of one save with the copy of the version into place (for the watcher, of one document from its
start to its readiness); the timed rows are in the table of benchmarks.

| History | Save, mean | Peak | Compact | Peak | Archive, peak | ≤ 64 MiB |
| --- | ---: | ---: | ---: | ---: | ---: | --- |
$(printf '%s\n' "${history_cost_rows[@]}")"
