# Thinning a store of 100,000 automatic versions of 1,000 documents, all taken
# within minutes, as the rules would stand years later: each document keeps
# its oldest and newest version. Targets: the dry run within 1 s, the removals
# within 5 s, peak memory within 40 MiB. The references are a listing of the
# stored files and removing as many of them followed by `sync -f` (versions
# this small pack into the index and logs, so there are few or none).

retention_work=$BENCH_WORK/retention
retention_documents=$(bench_size 1000 2) retention_versions=$(bench_size 100 4)
if [ "$(cat "$retention_work/pristine.done" 2>/dev/null)" != "$retention_documents $retention_versions" ]; then
  rm -rf "$retention_work"
  mkdir -p "$retention_work/documents"
  "$BENCH_BIN/retention_bench" populate "$retention_work/pristine/strataloom" "$retention_work/documents" \
    "$retention_documents" "$retention_versions"
  echo "$retention_documents $retention_versions" >"$retention_work/pristine.done"
fi
retention_later=2030-01-01T00:00:00Z
retention_store() {
  echo "discard '$retention_work/data'; cp -a '$retention_work/pristine' '$retention_work/data'; sync"
}

measure "XDG_DATA_HOME='$retention_work/data' '$BENCH_CLI' thin --dry-run --now $retention_later >/dev/null" \
  "ls -lR --full-time '$retention_work/data/strataloom/documents' >/dev/null" \
  "[ -d '$retention_work/data' ] || { $(retention_store); }"
retention_dry_ours=$MEASURED_OURS retention_dry_reference=$MEASURED_REFERENCE retention_dry_peak=$MEASURED_PEAK
retention_removed=$(XDG_DATA_HOME="$retention_work/data" "$BENCH_CLI" thin --dry-run --now $retention_later | tail -n 1)

measure "XDG_DATA_HOME='$retention_work/data' '$BENCH_CLI' thin --now $retention_later >/dev/null" \
  "find '$retention_work/data/strataloom/documents' -type f -name '[0-9a-f]*' ! -name '*.log' | head -n $((retention_documents * (retention_versions - 2))) | xargs -r -d '\\n' rm && sync -f '$retention_work/data'" \
  "$(retention_store)"
retention_ours=$MEASURED_OURS retention_reference=$MEASURED_REFERENCE retention_peak=$MEASURED_PEAK
discard "$retention_work/data"

section "## Retention

A store of 100,000 automatic versions of 1,000 documents (100 each), thinned as the rules
would stand on $retention_later: $retention_removed.

| Operation | Ours | Reference | Peak | Target |
| --- | ---: | ---: | ---: | --- |
| \`thin --dry-run\` | $retention_dry_ours ms | $retention_dry_reference ms (\`ls -lR\` of the stored files) | $((retention_dry_peak / 1024)) MiB | ≤ 1,000 ms |
| \`thin\` (removals durable) | $retention_ours ms | $retention_reference ms (\`rm\` of the stored files among them + \`sync -f\`; versions this small are packed into the index and logs and have none) | $((retention_peak / 1024)) MiB | ≤ 5,000 ms, ≤ 40 MiB |"
