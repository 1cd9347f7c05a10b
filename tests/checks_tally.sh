# Sourced by the package test scripts: each check says PASS or FAIL and is
# counted; the script ends with report_tally NAME, whose status is the verdict.
failures=0
passes=0
pass() {
  echo "PASS: $1"
  passes=$((passes + 1))
}
fail() {
  echo "FAIL: $1"
  failures=$((failures + 1))
}
report_tally() {
  echo "$1: $passes passed, $failures failed"
  [ "$failures" -eq 0 ]
}
