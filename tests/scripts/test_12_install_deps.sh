#!/usr/bin/env bash
# scripts/install-deps against a package mirror in mid-sync, with no network:
# apt-get, dpkg, dpkg-query, locale and sudo are stubs on PATH that play the
# mirror and the package database from files in a scratch folder.
#   test_12_install_deps.sh SCRIPT
set -uo pipefail
script=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

make_stubs() {
  local bin=$scratch/bin
  mkdir -p "$bin"
  # apt-get update fails while $scratch/update-failures-left counts down;
  # apt-get install installs everything asked unless $scratch/install-fails.
  cat >"$bin/apt-get" <<'SH'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STUB/calls"
case "$1" in
  update)
    left=$(cat "$STUB/update-failures-left")
    if ((left > 0)); then
      echo $((left - 1)) >"$STUB/update-failures-left"
      echo "E: File has unexpected size (1234 != 5678). Mirror sync in progress?" >&2
      exit 100
    fi ;;
  install)
    if [[ -f "$STUB/install-fails" ]]; then
      echo "E: Unable to correct problems, you have held broken packages." >&2
      exit 100
    fi
    for p in "$@"; do [[ $p == -* || $p == install ]] || echo "$p" >>"$STUB/installed"; done ;;
esac
SH
  cat >"$bin/dpkg-query" <<'SH'
#!/usr/bin/env bash
name=${!#}
[[ $name == -* ]] && exit 0
[[ -f "$STUB/all-installed" ]] || grep -qx -- "$name" "$STUB/installed" || exit 1
arch=amd64; [[ $name == *:* ]] && arch=${name#*:}
echo "$arch install ok installed"
SH
  cat >"$bin/dpkg" <<'SH'
#!/usr/bin/env bash
echo "dpkg $*" >>"$STUB/calls"
case "$1" in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) cat "$STUB/foreign" ;;
  --add-architecture) echo "$2" >>"$STUB/foreign" ;;
  --remove-architecture) sed -i "/^$2\$/d" "$STUB/foreign" ;;
esac
SH
  printf '#!/bin/sh\necho en_US.utf8\n' >"$bin/locale"
  printf '#!/bin/sh\nexec "$@"\n' >"$bin/sudo"
  chmod +x "$bin"/*
}

# run UPDATE_FAILURES INSTALL(ok|fail) [ARGS...]: a fresh machine where only
# g++ is installed; sets status, err (standard error) and calls.
run() {
  local update_failures=$1 install=$2; shift 2
  rm -f "$scratch/calls" "$scratch/install-fails"
  echo g++ >"$scratch/installed"
  : >"$scratch/foreign"
  echo "$update_failures" >"$scratch/update-failures-left"
  [[ $install == fail ]] && touch "$scratch/install-fails"
  err=$(STUB=$scratch PATH="$scratch/bin:$PATH" DV_APT_UPDATE_TRIES=3 DV_APT_RETRY_PAUSE=0 \
        bash "$script" "$@" 2>&1 >/dev/null)
  status=$?
  calls=$(cat "$scratch/calls" 2>/dev/null)
}

expect() {  # expect DESCRIPTION CONDITION...
  local what=$1; shift
  if ! "$@"; then
    echo "FAIL: $what"
    echo "  status=$status"; echo "  stderr:"; sed 's/^/    /' <<<"$err"
    failures=$((failures + 1))
  fi
}
updates() { grep -c '^apt-get update' <<<"$calls"; }
last_line() { tail -n 1 <<<"$err"; }

make_stubs

run 1 ok
expect "an update that fails once is retried, then the install succeeds" \
  test "$status" -eq 0 -a "$(updates)" -eq 2
expect "the retry is announced" grep -q 'apt-get update failed (try 1 of 3)' <<<"$err"
expect "the packages are installed" grep -qx libtinyxml-dev "$scratch/installed"

run 9 ok
expect "an update that always fails is tried 3 times and the install still runs" \
  test "$status" -eq 0 -a "$(updates)" -eq 3
expect "the failed update is reported as such" \
  grep -q 'apt-get update failed 3 times; installing from the indexes there are' <<<"$err"

run 9 fail --armhf
expect "a failed install exits 3" test "$status" -eq 3
expect "one line names the packages and the likely cause" \
  grep -qE '^install-deps: could not install .*qemu-user.*libtinyxml-dev:armhf.* \(apt-get update failed 3 times: the package mirror is probably mid-sync\)$' \
  <<<"$(last_line)"
expect "g++, which is installed, is not named" eval '! grep -q "g++" <<<"$(last_line)"'
expect "the armhf architecture added for nothing is removed again" \
  test ! -s "$scratch/foreign"

run 0 fail --valgrind
expect "a failed install after a good update exits 3" test "$status" -eq 3
expect "and its line names the packages, valgrind among them" \
  grep -qE '^install-deps: could not install cmake .* valgrind \(the package mirror is probably mid-sync or lacks them\)$' \
  <<<"$(last_line)"

touch "$scratch/all-installed"
rm -f "$scratch/calls"
err=$(STUB=$scratch PATH="$scratch/bin:$PATH" bash "$script" 2>&1 >/dev/null); status=$?
rm -f "$scratch/all-installed"
expect "nothing missing: no apt-get at all" \
  test "$status" -eq 0 -a -z "$(grep apt-get "$scratch/calls" 2>/dev/null)"

run 0 ok --bogus
expect "an unknown argument is a usage error" test "$status" -eq 64

if ((failures)); then echo "$failures check(s) failed"; exit 1; fi
echo "all install-deps checks passed"
