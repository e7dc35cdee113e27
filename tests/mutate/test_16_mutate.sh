#!/usr/bin/env bash
# scripts/mutate on a tiny project (fixture/: one library, one test that
# misses a flag): the mutants it finds in the source and, parsed through the
# source, in the header; the score, with kills, kills by timeout, mutants
# that do not compile and the equivalent ones left out; the one known
# survivor; and the source tree untouched, its private copy restored byte for
# byte after the run and after a SIGTERM in the middle of a mutant.
#   test_16_mutate.sh SCRIPTS_MUTATE
set -uo pipefail
tool=$1
here=$(cd "$(dirname "$0")" && pwd)
if ! /usr/bin/python3 -c 'import clang.cindex' 2>/dev/null; then
  echo "libclang's Python module is not installed (scripts/install-deps --mutate): skipped"
  exit 77
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -r "$here/fixture" "$scratch/src"
export DV_MUTATE_NO_INSTALL=1
passed=0
failed=0

mutate() {
  "$tool" --root "$scratch/src" --build-dir "$scratch/work" \
    --equivalent "$scratch/src/equivalent.txt" --test-timeout 3 "$@"
}

tree_sums() { (cd "$scratch/src" && find . -type f | sort | xargs sha256sum); }

pass() { echo "ok: $1"; passed=$((passed + 1)); }
fail() { echo "FAILED: $1"; failed=$((failed + 1)); }

# has DESCRIPTION TEXT LINE: TEXT has LINE as a fixed string.
has() {
  if grep -qF -- "$3" <<<"$2"; then pass "$1"; else fail "$1: no '$3' in:"; echo "$2"; fi
}

# The processes still running a program of the mutation build.
leftovers() {
  local p exe
  for p in /proc/[0-9]*; do
    exe=$(readlink "$p/exe" 2>/dev/null) || continue
    [[ $exe == "$scratch/work/"* ]] && echo "${p#/proc/}"
  done
}

original=$(tree_sums)

list=$(mutate --list counter.cpp counter.h 2>&1)
has "21 mutants in the source" "$list" "counter.cpp: 21 mutant(s) found"
has "7 in the header, parsed through the source" "$list" "counter.h: 7 mutant(s) found"
for mutant in \
    "counter.cpp:6  relational: v < lo → v >= lo" \
    "counter.cpp:6  relational: v < lo → v <= lo" \
    "counter.cpp:6  statement: v < lo → false" \
    "counter.cpp:10  flags: kRead | kCloseOnExec → kRead" \
    "counter.cpp:10  flags: kRead | kCloseOnExec → kCloseOnExec" \
    "counter.cpp:15  statement: break → (removed)" \
    "counter.cpp:16  constant: n /= 2 → n /= 0" \
    "counter.cpp:16  arithmetic: n /= 2 → n *= 2" \
    "counter.cpp:17  arithmetic: ++steps → --steps" \
    "counter.cpp:22  call: total_.fetch_add(n, std::memory_order_release) → (removed)" \
    "counter.cpp:22  memory order: memory_order_release → memory_order_relaxed" \
    "counter.h:8  constant: 4 → 3" \
    "counter.h:17  memory order: memory_order_acquire → memory_order_relaxed"; do
  has "finds $mutant" "$list" "$mutant"
done

report=$(mutate counter.cpp 2>&1)
status=$?
[[ $status -eq 0 ]] && pass "the run exits 0" || fail "the run exits $status"
has "score" "$report" \
  "counter.cpp: 15/16 killed (94%); 21 mutant(s): 2 by timeout, 3 did not compile, 2 equivalent, 0 not run"
has "the survivor" "$report" "survived counter.cpp:10  flags: kRead | kCloseOnExec → kRead  [counter.cpp 16eaed563078]"
survivors=$(grep -c '^survived' <<<"$report")
[[ $survivors -eq 1 ]] && pass "one survivor" || fail "$survivors survivors"
if grep -q 'v < lo → v <= lo\|memory_order_release → memory_order_relaxed' <<<"$report"; then
  fail "an equivalent mutant was run"
else
  pass "the equivalent mutants are not run"
fi
has "the copy checked" "$report" "byte-identical to their originals"
cmp -s "$scratch/src/counter.cpp" "$scratch/work/tree/counter.cpp" &&
  pass "the copy is restored" || fail "the copy differs after the run"

# SIGTERM while the mutant whose test hangs is applied: its test would run
# for the whole --test-timeout of 300 s, so the signal lands with the
# mutant in place.
key=$(grep -F 'statement: n <= 1 → false' <<<"$list" | sed 's/.*\[counter.cpp \([0-9a-f]*\)\]$/\1/')
pid=$(mutate --background --key "$key" --test-timeout 300 counter.cpp |
  sed -n 's/.*pid \([0-9]*\);.*/\1/p')
log=$scratch/work/mutate.log
for _ in $(seq 600); do
  grep -q '^mutant 1/1 applied' "$log" 2>/dev/null && break
  sleep 0.1
done
sleep 0.5
kill -TERM "$pid"
for _ in $(seq 300); do
  grep -q 'no mutant left applied\|NOT restored' "$log" && break
  sleep 0.1
done
has "interrupted" "$(cat "$log")" "mutate: interrupted (SIGTERM)"
has "undone after the signal" "$(cat "$log")" "mutate: no mutant left applied"
cmp -s "$scratch/src/counter.cpp" "$scratch/work/tree/counter.cpp" &&
  pass "the copy is restored after SIGTERM" || fail "the copy is left mutated after SIGTERM"
sleep 0.5
stray=$(leftovers)
if [[ -n $stray ]]; then
  fail "processes left running: $stray"
  kill -KILL $stray 2>/dev/null
else
  pass "no process left running"
fi

[[ $(tree_sums) == "$original" ]] && pass "the source tree is untouched" || fail "the source tree changed"
echo "$passed passed, $failed failed"
((failed == 0))
