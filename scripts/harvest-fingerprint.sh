#!/usr/bin/env bash
# Fingerprints of whole harvests: what korvalot-harvest wrote, printed and asked the register
# simulator for, in a few fixed harvests, reduced to texts that do not depend on the clock, the
# port or the order in which the workers happened to finish.
#
# Usage: scripts/harvest-fingerprint.sh BUILD_DIR OUT_DIR
#   BUILD_DIR holds harvest/korvalot-harvest and tools/register-sim/register-sim (built);
#   OUT_DIR is made when missing; its folder of each harvest is made anew.
#
# A change that must not change the product's output or requests (a refactoring) is checked by
# running this on the build before and on the build after, then comparing:
#   scripts/harvest-fingerprint.sh build-before /tmp/fp-before
#   scripts/harvest-fingerprint.sh build-after /tmp/fp-after
#   diff -r /tmp/fp-before /tmp/fp-after      # empty: same rows, files, texts and requests
# Two runs on one build give identical folders. The harvests (a few minutes at the product's
# pace of 200 ms per started job; simulator seed, today and the harvest's dates are pinned):
#   a-plain        regions 77 and 23, all six types, --incremental --workbook
#   b-faults       the same against 10% faults (503, 500, reset) of search and card addresses
#   c-crowded      a register of 4000 trades: a crowded day of region 77 OpenAuction, cut by date
#                  and then by price, with --unpriced-crowded 4; skip.txt names most of the
#                  day's priced trades beforehand so that few cards are fetched
#   d-incremental  (a) once more into its folder after the register gained trades: only the new
#   e-store        --store
#   e-refresh      --refresh of that store after the register's today moved on a month (with
#                  --refresh-days 3650, as the register's days lie months before the real date);
#                  store.txt: the store's rows without row ids and times
#
# In every folder: results.csv (header first, then the rows sorted; a row whose values hold line
# breaks is one line with " ⏎ " between its lines), workbook.txt (cells of every
# sheet, data rows sorted), guids.txt and skip.txt (sorted), requests.txt (request lines, method
# and target, sorted, with their count), request-outcomes.txt (request, status and fault, counted),
# request-headers.txt (the header sets used, counted), closing.txt (what the program printed
# from its closing lines on), summary.json (times and durations taken out), log-sorted.txt
# (the log's entries without their time stamps, sorted; an entry of several lines is one line
# with " ⏎ " between its lines), exit-status. The port becomes PORT, a file's date-time stamp
# YYYY-MM-DD_HHMMSS, a count of seconds of a duration N, the script's temporary folder WORK.
set -euo pipefail
[ $# -eq 2 ] || { sed -n '6,9p' "$0" >&2; exit 2; }
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
harvester=$build/harvest/korvalot-harvest
sim=$build/tools/register-sim/register-sim
for program in "$harvester" "$sim"; do
  [ -x "$program" ] || { echo "not built: $program" >&2; exit 2; }
done
for tool in jq python3 sqlite3; do
  command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 2; }
done

export LC_ALL=C.UTF-8 TZ=UTC
seed=7
today=2026-06-25
work=$(mktemp -d)
# shellcheck source=scripts/sim.sh
source "$(dirname "${BASH_SOURCE[0]}")/sim.sh"
# Paths the program prints are relative to the working folder, so they are the same in every run.
cd "$work"
export HOME=$work/home
mkdir -p "$HOME"
"$sim" --write-client-cert "$work" >/dev/null
# One port for every simulator: skip.txt names cards by their address, so the register that
# gained trades has to come back where it was.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

# start_logged LOG ARGS...: a simulator on $port writing its requests to LOG; sets $url.
start_logged() {
  local log=$1
  shift
  start_sim --port "$port" --seed "$seed" --log "$log" "$@"
}

# normalise: the port, files' date-time stamps.
normalise() {
  sed -E -e "s|$work/|WORK/|g" -e 's/127\.0\.0\.1:[0-9]+/127.0.0.1:PORT/g' \
    -e 's/[0-9]{4}-[0-9]{2}-[0-9]{2}_[0-9]{6}/YYYY-MM-DD_HHMMSS/g'
}
sort_file() { if [ -f "$1" ]; then normalise <"$1" | sort; else echo "(no file)"; fi; }

# harvest NAME SIMLOG ARGS...: runs korvalot-harvest against $url and writes OUT_DIR/NAME.
harvest() {
  local name=$1 simLog=$2
  shift 2
  local dest=$out/$name
  rm -rf "$dest"
  mkdir -p "$dest"
  echo "== $name" >&2
  local status=0
  KORVALOT_REGISTER_URL=$url "$harvester" "$@" --summary-json "$work/$name.json" \
    >"$work/$name.stdout" 2>"$work/$name.stderr" || status=$?
  echo "$status" >"$dest/exit-status"
  # The log is complete once the program has ended; the simulator's once it has stopped.
  stop_sim
  local summary=$work/$name.json
  named() { jq -r ".files.$1 // empty" "$summary"; }

  local results
  results=$(named results)
  if [ -n "$results" ] && [ -f "$results" ]; then
    # A quoted value may hold line breaks: a row ends at a line break outside quotes. A row of
    # several lines becomes one, with " ⏎ " between them.
    python3 - "$results" <<'EOF' | normalise >"$dest/results.csv"
import sys
rows, open_row, quotes = [], [], 0
with open(sys.argv[1], encoding="utf-8", newline="") as f:
    for line in f.read().split("\n"):
        open_row.append(line)
        quotes += line.count('"')
        if quotes % 2 == 0:
            rows.append(" ⏎ ".join(open_row))
            open_row, quotes = [], 0
if open_row:
    rows.append("(unended) " + " ⏎ ".join(open_row))
if rows and rows[-1] == "":
    rows.pop()
print("\n".join(rows[:1] + sorted(rows[1:])))
EOF
  else
    echo "(no file)" >"$dest/results.csv"
  fi
  local workbook
  workbook=$(named workbook)
  [ -n "$workbook" ] && python3 - "$workbook" >"$dest/workbook.txt" <<'EOF'
import re, sys, zipfile
import xml.etree.ElementTree as ET

ns = {"m": "http://schemas.openxmlformats.org/spreadsheetml/2006/main"}
port = re.compile(r"127\.0\.0\.1:[0-9]+")
stamp = re.compile(r"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z")
with zipfile.ZipFile(sys.argv[1]) as book:
    for name in sorted(book.namelist()):
        text = book.read(name).decode("utf-8")
        if not re.fullmatch(r"xl/worksheets/sheet[0-9]+\.xml", name):
            # Every other part whole: only the creation time of docProps/core.xml changes.
            print(f"== {name}")
            print(stamp.sub("TIME", port.sub("127.0.0.1:PORT", text)))
            continue
        root = ET.fromstring(text)
        rows = []
        for row in root.iterfind(".//m:sheetData/m:row", ns):
            cells = []
            for cell in row.iterfind("m:c", ns):
                value = "".join(cell.itertext())
                # The reference's row number follows the order rows were written in.
                column = re.sub(r"[0-9]+$", "", cell.get("r", ""))
                cells.append(f"{column}[{cell.get('t', '')}{cell.get('s', '')}]={value}")
            rows.append(port.sub("127.0.0.1:PORT", "\t".join(cells)))
        print(f"== {name}: {len(rows)} rows")
        # Of the results sheet the data rows come in the order the workers finished.
        body = sorted(rows[1:]) if name.endswith("sheet1.xml") else rows[1:]
        print("\n".join(rows[:1] + body))
        # The sheet's frame (columns, freeze, filter, drawing) without its rows.
        for child in root:
            if not child.tag.endswith("sheetData"):
                print(port.sub("127.0.0.1:PORT", ET.tostring(child, encoding="unicode")))
EOF
  sort_file "$(named guids)" >"$dest/guids.txt"
  sort_file "$(named skip)" >"$dest/skip.txt"

  local log
  log=$(named log)
  if [ -n "$log" ] && [ -f "$log" ]; then
    python3 - "$log" <<'EOF' | normalise | sed -E 's/(Время работы: )[0-9]+ с/\1N с/' | sort >"$dest/log-sorted.txt"
import re, sys
stamp = re.compile(r"^[0-9]{2}\.[0-9]{2}\.[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}: ")
entries = []
with open(sys.argv[1], encoding="utf-8", newline="") as f:
    lines = f.read().split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    for line in lines:
        line = line.rstrip("\r")
        if stamp.match(line) or not entries:
            entries.append(stamp.sub("", line))
        else:
            entries[-1] += " ⏎ " + line
for entry in entries:
    print(entry)
EOF
  else
    echo "(no log)" >"$dest/log-sorted.txt"
  fi

  # What the program printed from the first closing line on, without the time stamps.
  awk '/Сбор данных завершен|Итоги:/ { on = 1 } on' "$work/$name.stderr" "$work/$name.stdout" |
    sed -E 's/^[0-9]{2}\.[0-9]{2}\.[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}: //' | normalise |
    sed -E 's/(Время работы: )[0-9]+ с/\1N с/' >"$dest/closing.txt"

  jq -S 'del(.start, .end, .durationSeconds)' "$summary" | normalise >"$dest/summary.json"

  jq -r '.request | sub(" HTTP/[0-9.]+$"; "")' "$simLog" | normalise | sort >"$dest/requests.txt"
  echo "count: $(wc -l <"$dest/requests.txt")" >>"$dest/requests.txt"
  jq -r '"\(.request) \(.status) \(.fault)"' "$simLog" | normalise | sort | uniq -c \
    >"$dest/request-outcomes.txt"
  jq -c '.headers' "$simLog" | normalise | sort | uniq -c >"$dest/request-headers.txt"
}

dates=(--from 2026-01-01 --to 2026-06-30)
plain=(--regions "77,23" "${dates[@]}")

# (a) and (d): a register that gains trades between two incremental harvests into one folder.
start_logged "$work/a.log" --trades 750 --today "$today"
harvest a-plain "$work/a.log" "${plain[@]}" -o a-plain -i -w
# (b): the same with faults.
start_logged "$work/b.log" --trades 750 --today "$today" --fault-rate 0.1 --fault-kinds 503,500,reset
harvest b-faults "$work/b.log" "${plain[@]}" -o b-faults -i -w
# (c): the crowded day 2026-01-08 of region 77 OpenAuction.
crowdedFrom=2026-01-05
crowdedTo=2026-01-12
start_logged "$work/c.log" --trades 4000 --today "$today" --unpriced-crowded 4 \
  --truth "$work/c-truth.json" --truth-regions 77 --truth-types OpenAuction \
  --truth-from "$crowdedFrom" --truth-to "$crowdedTo"
mkdir -p c-crowded
# All trades with a priced lot but every 40th are skipped; the unpriced ones are not.
jq -r --arg url "$url" '[.[] | select(.pricedLots > 0)] | sort_by(.guid) | to_entries[] |
  select(.key % 40 != 0) | "\($url)/biddings/\(.value.guid)"' "$work/c-truth.json" \
  >c-crowded/skip.txt
harvest c-crowded "$work/c.log" --regions 77 --types OpenAuction --from "$crowdedFrom" \
  --to "$crowdedTo" -o c-crowded
# (d): 150 trades more in the register.
start_logged "$work/d.log" --trades 900 --today "$today"
harvest d-incremental "$work/d.log" "${plain[@]}" -o a-plain -i -w
# (e): the store, then its refresh once the register's today is a month later.
start_logged "$work/e.log" --trades 300 --today "$today"
harvest e-store "$work/e.log" "${plain[@]}" -o e-store --store "$work/e.sqlite"
start_logged "$work/e2.log" --trades 300 --today 2026-07-25
harvest e-refresh "$work/e2.log" "${plain[@]}" -o e-store --store "$work/e.sqlite" --refresh \
  --refresh-days 3650
# The store without its row ids (trades are stored in the order their cards came) and times.
sqlite3 -separator $'\t' "$work/e.sqlite" <<'EOF' | normalise >"$out/e-refresh/store.txt"
SELECT 'run', id, program, kind, ended_at IS NOT NULL, results_file, register_url,
       decimal_separator, trades_stored, trades_new, trades_changed, values_changed
FROM runs ORDER BY id;
SELECT 'region', code, name FROM regions ORDER BY code;
SELECT * FROM (
  SELECT 'trade', lower(guid), register_url, trade_type, region, region_code, number, date_publish,
         date_publish_iso, debtor_name, debtor_inn, court_name, results_date, results_date_iso,
         decimal_separator, first_run, last_run, last_changed IS NOT NULL FROM trades
  ORDER BY lower(guid));
SELECT * FROM (
  SELECT 'lot', lower(t.guid), l.position, l.property_type, length(l.description),
         hex(sha3(l.description)), l.start_price, l.start_price_value, l.final_price,
         l.final_price_value, l.winner_name, l.winner_inn, l.last_changed IS NOT NULL
  FROM lots l JOIN trades t ON t.id = l.trade_id ORDER BY lower(t.guid), l.position);
SELECT * FROM (
  SELECT 'change', lower(t.guid), c.lot_position, c.field, c.old_value, c.new_value, c.run_id
  FROM changes c JOIN trades t ON t.id = c.trade_id
  ORDER BY lower(t.guid), c.lot_position, c.field, c.run_id);
EOF
stop_sim
echo "written: $out" >&2
