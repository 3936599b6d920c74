#!/usr/bin/env bash
# ./kit's set-up, with apt-get, dpkg and the rest replaced by stand-ins that
# only write down how they were called (nothing is installed, the machine is
# not touched), every package reported missing, and the os-release file
# chosen through KIT_OS_RELEASE:
#  - off Debian 12, one line says what the kit expects and what it would
#    install, and neither apt-get nor dpkg runs; KIT_ALLOW_OTHER_OS=1 goes on;
#  - `deps package` installs what building and checking the packages needs
#    and no Wine, no i386 architecture, no qemu; `deps` installs everything.
set -euo pipefail
KIT=$(cd "$(dirname "$0")/.." && pwd)/kit
WORK=$(mktemp -d "${TMPDIR:-/tmp}/kit-deps-test-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
FAILED=0
bad() { echo "FAILED: $*"; FAILED=$((FAILED + 1)); }

mkdir "$WORK/bin"
stand_in() { # NAME [BODY]: a program that logs its arguments to calls.log
  printf '#!/bin/bash\necho "%s $*" >>"%s/calls.log"\n%s\n' "$1" "$WORK" "${2:-}" >"$WORK/bin/$1"
  chmod +x "$WORK/bin/$1"
}
stand_in apt-get
stand_in dpkg
printf '#!/bin/sh\nexit 1\n' >"$WORK/bin/dpkg-query" # nothing is installed
chmod +x "$WORK/bin/dpkg-query"
stand_in sudo '"$@"'
stand_in locale 'echo zh_CN.utf8'
stand_in locale-gen

os_release() { # FILE ID VERSION_ID PRETTY_NAME
  printf 'PRETTY_NAME="%s"\nID=%s\nVERSION_ID="%s"\n' "$4" "$2" "$3" >"$1"
}
os_release "$WORK/ubuntu" ubuntu 24.04 "Ubuntu 24.04.1 LTS"
os_release "$WORK/debian12" debian 12 "Debian GNU/Linux 12 (bookworm)"
os_release "$WORK/debian13" debian 13 "Debian GNU/Linux 13 (trixie)"

kit() { # OS-RELEASE ARGS...: runs ./kit; its output in $WORK/out, calls in calls.log
  local release=$1
  shift
  rm -f "$WORK/calls.log"
  touch "$WORK/calls.log"
  set +e
  PATH="$WORK/bin:$PATH" KIT_OS_RELEASE="$release" "$KIT" "$@" >"$WORK/out" 2>&1
  STATUS=$?
  set -e
}
installed() { sed -n 's/^apt-get install -y -q --no-install-recommends //p' "$WORK/calls.log" | tr ' ' '\n'; }

# Off Debian 12: one line, the packages named, no apt-get, no dpkg.
for release in ubuntu debian13; do
  kit "$WORK/$release" deps package
  [[ $STATUS != 0 ]] || bad "$release: ./kit deps package succeeded"
  [[ $(wc -l <"$WORK/out") == 1 ]] || bad "$release: not one line: $(cat "$WORK/out")"
  grep -q "Debian 12" "$WORK/out" && grep -q "lintian" "$WORK/out" && grep -q "KIT_ALLOW_OTHER_OS=1" "$WORK/out" ||
    bad "$release: the line names neither Debian 12, the packages nor the override: $(cat "$WORK/out")"
  [[ ! -s $WORK/calls.log ]] || bad "$release: ran $(cat "$WORK/calls.log")"
  [[ $release != ubuntu ]] || grep -q "Ubuntu 24.04.1 LTS" "$WORK/out" ||
    bad "the line does not say which system this is: $(cat "$WORK/out")"
done
kit "$WORK/none" deps
[[ $STATUS != 0 && $(wc -l <"$WORK/out") == 1 && ! -s $WORK/calls.log ]] ||
  bad "without an os-release file: status $STATUS, $(cat "$WORK/out") $(cat "$WORK/calls.log")"

# Debian 12: only what the packages need.
kit "$WORK/debian12" deps package
[[ $STATUS == 0 ]] || bad "debian 12: ./kit deps package failed: $(cat "$WORK/out")"
for p in cmake g++ libsdbus-c++-dev lintian help2man dpkg-dev; do
  installed | grep -qx -- "$p" || bad "deps package does not install $p"
done
for p in wine wine32 qemu-system-x86 g++-mingw-w64-i686 clang; do
  installed | grep -qx -- "$p" && bad "deps package installs $p"
done
grep -q '^dpkg --add-architecture' "$WORK/calls.log" && bad "deps package adds an architecture"
grep -q '^locale-gen' "$WORK/calls.log" && bad "deps package makes a locale"

# The override on another system, and everything: Wine with its architecture.
KIT_ALLOW_OTHER_OS=1 kit "$WORK/ubuntu" deps
[[ $STATUS == 0 ]] || bad "KIT_ALLOW_OTHER_OS=1: ./kit deps failed: $(cat "$WORK/out")"
for p in wine32 qemu-system-x86 clang lintian cmake; do
  installed | grep -qx -- "$p" || bad "deps does not install $p"
done
grep -q '^dpkg --add-architecture i386' "$WORK/calls.log" || bad "deps does not add i386 for wine32"

kit "$WORK/debian12" deps nonsense
[[ $STATUS == 2 && ! -s $WORK/calls.log ]] || bad "deps nonsense: status $STATUS, ran $(cat "$WORK/calls.log")"

if ((FAILED)); then exit 1; fi
echo "kit set-up: all checks passed"
