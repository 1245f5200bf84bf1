#!/usr/bin/env bash
# The test exes' runner: a command that fails without printing anything runs
# once more, with a note; one that printed is never run again; the exit code
# and the output come through.
set -uo pipefail
retry="$1"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }

# Each case's command counts its runs in $tmp/runs.
case_run() {  # case_run SCRIPT: sets out, err, code, runs
  rm -f "$tmp/runs"
  "$retry" bash -c "echo x >> '$tmp/runs'; $1" >"$tmp/out" 2>"$tmp/err"
  code=$?
  out="$(cat "$tmp/out")"; err="$(cat "$tmp/err")"; runs="$(wc -l <"$tmp/runs")"
}

# Silent failure the first time, a passing run the second.
case_run "[ \$(wc -l <'$tmp/runs') -ge 2 ] || exit 3; echo passed second time"
[ "$code" = 0 ] && [ "$runs" = 2 ] && [ "$out" = "passed second time" ] ||
  fail "silent first failure: code $code, runs $runs, out '$out'"
grep -q '^retrying once: .* exited with code 3 before printing anything$' <<<"$err" ||
  fail "no retry note: '$err'"

# Silent failure every time: exactly one retry, the second run's code.
case_run "exit \$((4 + \$(wc -l <'$tmp/runs')))"
[ "$code" = 6 ] && [ "$runs" = 2 ] && [ "$(grep -c 'retrying once' <<<"$err")" = 1 ] ||
  fail "silent failures: code $code, runs $runs, err '$err'"

# Printed, then failed: never run again, output and code unchanged.
case_run "printf 'line one\\r\\npartial'; exit 7"
[ "$code" = 7 ] && [ "$runs" = 1 ] && [ "$out" = "$(printf 'line one\r\npartial')" ] && [ -z "$err" ] ||
  fail "printed then failed: code $code, runs $runs, out '$out', err '$err'"

# Printed only on stderr, then failed: also never run again.
case_run "echo 'wine: something' >&2; exit 9"
[ "$code" = 9 ] && [ "$runs" = 1 ] && [ "$err" = "wine: something" ] ||
  fail "stderr then failed: code $code, runs $runs, err '$err'"

# Passed in silence: run once, code 0.
case_run "exit 0"
[ "$code" = 0 ] && [ "$runs" = 1 ] && [ -z "$out$err" ] || fail "silent pass: code $code, runs $runs"

# Ended by a signal: reported as a shell does (128 + signal).
case_run "kill -TERM \$\$"
[ "$code" = 143 ] && [ "$runs" = 2 ] || fail "killed: code $code, runs $runs"

# A process left behind holding the output pipe open (as Wine's services do)
# does not keep the runner waiting once the command has ended.
timeout 30 "$retry" bash -c "sleep 60 & echo \$! > '$tmp/bg'; echo done" >"$tmp/out" 2>&1
code=$?
kill "$(cat "$tmp/bg")" 2>/dev/null
[ "$code" = 0 ] && [ "$(cat "$tmp/out")" = done ] || fail "inherited pipe: code $code"

[ "$failed" = 0 ] || exit 1
echo "7 passed, 0 failed"
