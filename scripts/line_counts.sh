#!/usr/bin/env bash
# Lines of C/C++ code without blank and comment-only lines: test code
# (tests/, with fuzz and support) against the rest.
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
  git ls-files -co --exclude-standard -- "$@" | grep -E '\.(c|cc|cpp|h|hpp)$' | xargs -r cat |
    sed -E ':a; s:/\*([^*]|\*+[^*/])*\*+/::g; /\/\*/{N; ba}' | grep -c -v -E '^\s*(//.*)?$' || true
}
code=$(count src include sim examples bench tools python)
tests=$(count tests)
echo "code $code  tests $tests  ratio $(awk -v t="$tests" -v c="$code" 'BEGIN{printf "%.1f%%", 100*t/c}')"
