#!/usr/bin/env bash
# Builds lantrel-status and lantrel and runs them on the bundled sample data
# in a sandbox home, printing what a user would see.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DLANTREL_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
tool=$PWD/build/release/lantrel-status
view=$PWD/build/release/lantrel

sandbox=$(mktemp -d "${TMPDIR:-/tmp}/lantrel-demo-XXXXXX")
trap 'rm -rf "$sandbox"' EXIT
cp -R samples/home/. "$sandbox/"
export HOME=$sandbox
unset CODEX_HOME

show() { printf '\n$ lantrel-status'; printf ' %q' "$@"; printf '\n'; "$tool" "$@" || true; }

echo "Sandbox home: $sandbox (sample tasks from samples/home)"
show set nightly-build working "Nightly build"
show set deploy_42 waiting "Deploy to staging"
show set docs done "Regenerate docs"
show remove docs
show list
show set "bad id" done "Refused"

# The sample Codex home holds sessions of an earlier day. Codex lists only
# sessions active in the last day, so bring them to the present: each
# transcript's lines are dated a minute ago (the order of its lines is what
# tells its state) and its file was written within the last ten minutes; the
# desktop log moves into today's UTC day directory, dated half a minute ago.
stamp() { # FORMAT SECONDS_AGO, in UTC, with GNU or BSD date
  local t=$(($(date +%s) - $2))
  date -u -d "@$t" "+$1" 2>/dev/null || date -u -r "$t" "+$1"
}
sed_in_place() { sed -E "$1" "$2" >"$2.new" && mv "$2.new" "$2"; }
i=0
for transcript in "$sandbox"/.codex/sessions/*/*/*/*.jsonl; do
  sed_in_place "s/\"timestamp\":\"[^\"]*\"/\"timestamp\":\"$(stamp %Y-%m-%dT%H:%M:%S.000Z 60)\"/g" "$transcript"
  TZ=UTC touch -t "$(stamp %Y%m%d%H%M.%S $((600 - i * 60)))" "$transcript"
  i=$((i + 1))
done
logs=$sandbox/Library/Logs/com.openai.codex
today=$logs/$(date -u +%Y/%m/%d)
mkdir -p "$today"
for log in "$logs"/2025/10/01/*.log; do
  sed_in_place "s/^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z/$(stamp %Y-%m-%dT%H:%M:%S.000Z 30)/" "$log"
  mv "$log" "$today/"
done
show codex

# The Claude transcripts and hook record, the Orca pane and the failed backup
# job come to the present the same way: transcript lines a minute ago, the
# hook record after them, Orca's report 40 seconds ago, the backup an hour ago.
for transcript in "$sandbox"/.claude/projects/*/*.jsonl; do
  sed_in_place "s/\"timestamp\":\"[^\"]*\"/\"timestamp\":\"$(stamp %Y-%m-%dT%H:%M:%S.000Z 60)\"/g" "$transcript"
  TZ=UTC touch -t "$(stamp %Y%m%d%H%M.%S 60)" "$transcript"
done
ours="$sandbox/Library/Application Support/Lantrel"
for record in "$ours"/claude-events/*.json; do
  sed_in_place "s/\"updatedAt\":\"[^\"]*\"/\"updatedAt\":\"$(stamp %Y-%m-%dT%H:%M:%SZ 50)\"/" "$record"
done
sed_in_place "s/\"receivedAt\": [0-9]+/\"receivedAt\": $((($(date +%s) - 40) * 1000))/" \
  "$sandbox/Library/Application Support/Orca/agent-hooks/last-status.json"
sed_in_place "s/\"updatedAt\":[0-9.]+/\"updatedAt\":$(($(date +%s) - 978307200 - 3600))/" \
  "$ours/tasks/backup-job.json"

view() {
  printf '\n$ lantrel'
  if [ $# -gt 0 ]; then printf ' %q' "$@"; fi
  printf '\n'
  "$view" "$@" || true
}
view
view --json
view read --all
view --json
