#!/usr/bin/env bash
# Measures what canonical forms save on office histories: makes VERSIONS saves
# of an odt, docx, ods and xlsx with the office suite (a few words changed and
# a line added each time), then sums a reverse zstd delta chain (each version
# against the next, the newest compressed alone) of the files as they are and
# of their canonical forms, as a share of the whole copies' size.
#
#   measure-office-forms.sh BUILD_DIR [VERSIONS] [ZSTD_LEVEL]
#
# Needs soffice, zstd and the built zip_form_tool.
set -euo pipefail
build=$1
versions=${2:-40}
level=${3:-3}
tool=$build/bench/zip_form_tool
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Random words and numbers from a fixed seed; each version changes three
# words and five cells at random and adds a line and a row somewhere.
awk -v versions="$versions" 'BEGIN {
    srand(5)
    n = split("alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu nu xi omicron pi rho sigma tau", words, " ")
    for (i = 1; i <= 1500; i++) lines[i] = sentence()
    for (i = 1; i <= 4000; i++) rows[i] = numbers()
    count = 1500; rowCount = 4000
    for (v = 0; v < versions; v++) {
        for (k = 0; k < 3; k++) { i = 1 + int(rand() * count); lines[i] = sentence() }
        count = insert(lines, count, sentence())
        for (k = 0; k < 5; k++) { i = 1 + int(rand() * rowCount); rows[i] = numbers() }
        rowCount++; rows[rowCount] = numbers()
        text = sprintf("t%03d.txt", v); table = sprintf("c%03d.csv", v)
        for (i = 1; i <= count; i++) print lines[i] > text
        for (i = 1; i <= rowCount; i++) print rows[i] > table
        close(text); close(table)
    }
}
function sentence(   s, w) { s = words[1 + int(rand() * n)]; for (w = 1; w < 12; w++) s = s " " words[1 + int(rand() * n)]; return s }
function numbers(   s, c) { s = int(rand() * 100000); for (c = 1; c < 8; c++) s = s "," int(rand() * 100000); return s }
function insert(a, size, value,   at, i) { at = 1 + int(rand() * (size + 1)); for (i = size; i >= at; i--) a[i + 1] = a[i]; a[at] = value; return size + 1 }'
profile="-env:UserInstallation=file://$work/profile"
soffice --headless "$profile" --convert-to odt t*.txt >/dev/null 2>&1
soffice --headless "$profile" --convert-to docx t*.txt >/dev/null 2>&1
soffice --headless "$profile" --convert-to ods c*.csv >/dev/null 2>&1
soffice --headless "$profile" --convert-to xlsx c*.csv >/dev/null 2>&1

size() { stat -c %s "$1"; }
for ext in odt docx ods xlsx; do
    files=($(ls ./*."$ext" | sort))
    n=${#files[@]}
    whole=0 raw=0 forms=0 members=0 rebuilt=0 formed=0
    for ((i = 0; i < n; i++)); do
        whole=$((whole + $(size "${files[$i]}")))
        "$tool" form "${files[$i]}" "$i.form" >"$i.members"
        members=$((members + $(grep -c . "$i.members" || true)))
        rebuilt=$((rebuilt + $(grep -c level "$i.members" || true)))
        grep -q '^no form' "$i.members" || formed=$((formed + 1))
    done
    for ((i = 0; i < n; i++)); do
        if ((i == n - 1)); then
            raw=$((raw + $(zstd -q -"$level" -c "${files[$i]}" | wc -c)))
            forms=$((forms + $(zstd -q -"$level" -c "$i.form" | wc -c)))
        else
            raw=$((raw + $(zstd -q -"$level" --patch-from="${files[$((i + 1))]}" -c "${files[$i]}" 2>/dev/null | wc -c)))
            forms=$((forms + $(zstd -q -"$level" --patch-from="$((i + 1)).form" -c "$i.form" 2>/dev/null | wc -c)))
        fi
    done
    awk -v e="$ext" -v n="$n" -v w="$whole" -v r="$raw" -v f="$forms" -v m="$members" -v b="$rebuilt" -v c="$formed" \
        'BEGIN { printf "%s: %d versions, %d bytes whole; zstd chain of the files %.1f %%, of canonical forms %.1f %%; %d of %d with a form, %d of %d deflated members rebuilt\n", e, n, w, 100 * r / w, 100 * f / w, c, n, b, m }'
done
