#!/usr/bin/env bash
# The front end as a user calls it: exact output, exit statuses, error texts.
set -u
cli=$1
sim=$2
failures=0

check() {  # name expected actual
  if [ "$2" == "$3" ]; then
    echo "ok: $1"
  else
    echo "FAIL: $1"; echo "  expected: $(printf '%q' "$2")"; echo "  actual:   $(printf '%q' "$3")"
    failures=$((failures + 1))
  fi
}

out=$("$cli" run /bin/echo a "" b | od -c | head -2)
check "run keeps empty arguments" "$(printf 'a  b\n' | od -c | head -2)" "$out"

out=$("$cli" run "$sim" print "no newline"; echo "|")
check "run adds no line feed" "no newline|" "$out"

"$cli" run /nonexistent/tool >/dev/null 2>/tmp/velmora-fe-$$.err; status=$?
check "missing tool exits 1" 1 "$status"
check "missing tool says why" "The launch path for the utility does not exist" "$(cat /tmp/velmora-fe-$$.err)"

"$cli" run "$sim" print-hex ff >/dev/null 2>/tmp/velmora-fe-$$.err; status=$?
check "invalid UTF-8 exits 1" 1 "$status"
check "invalid UTF-8 says why" "Failed to parse output data" "$(cat /tmp/velmora-fe-$$.err)"

out=$("$cli" lucid --tool "$sim" --instance 2001 raw echo-args status)
check "lucid raw adds the instance" '["--instance","2001","echo-args","status"]' "$out"

out=$("$cli" lucid --tool "$sim" raw echo-args "--flag")
check "lucid raw without instance" '["echo-args","--flag"]' "$out"

out=$("$cli" --json run "$sim" print "x")
check "run --json" '{
  "launchPath": "'"$sim"'",
  "output": "x"
}' "$out"

out=$("$cli" --version)
check "version" "velmora-fsutil 0.1.0" "$out"

rm -f /tmp/velmora-fe-$$.err
echo "$(( 9 - failures )) passed, $failures failed"
[ "$failures" -eq 0 ]
