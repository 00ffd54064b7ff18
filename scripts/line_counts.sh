#!/usr/bin/env bash
# Lines of code without blank and comment-only lines: test code (tests/,
# with fuzz, support and the Python tests) against the rest, for C/C++ alone
# and with Python.
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
  local pattern=$1; shift
  git ls-files -co --exclude-standard -- "$@" | grep -E "$pattern" | xargs -r cat |
    sed -E ':a; s:/\*([^*]|\*+[^*/])*\*+/::g; /\/\*/{N; ba}' | grep -c -v -E '^\s*((//|#[^a-z]|#$).*)?$' || true
}
cpp='\.(c|cc|cpp|h|hpp)$'
all='\.(c|cc|cpp|h|hpp|py)$'
ratio() { awk -v t="$1" -v c="$2" 'BEGIN{printf "%.1f%%", 100*t/c}'; }
code=$(count "$cpp" src include sim examples bench tools python); tests=$(count "$cpp" tests)
echo "C/C++:       code $code  tests $tests  ratio $(ratio "$tests" "$code")"
code=$(count "$all" src include sim examples bench tools python); tests=$(count "$all" tests)
echo "with Python: code $code  tests $tests  ratio $(ratio "$tests" "$code")"
