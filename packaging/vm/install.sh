#!/bin/bash
# The Debian packages installed as a user installs them, with no network (the
# guest has none), into the bluez-vm guest's root (a throwaway tmpfs over the
# host's root, which stays untouched): quillon-ota runs a simulated update
# and has its manual page and Tab completion, and a program builds against
# the installed libquillon-dev with pkg-config. (The example app's CMake
# build takes minutes in a guest without KVM; packaging/check-packages.sh
# builds it with find_package against the unpacked package instead.) Run by
# ./kit test after ./kit package, as a case of ble/tests/bluez-vm/run_vm.py
# (with no emulated controllers: nothing here needs Bluetooth):
#   run_vm.py --controllers 0 --cases-dir packaging/vm ... install
# case-timeout: 1500
# case-retry: no
. "$QVM_CASE_LIB"

packages=$QUILLON_SOURCE/build/packages
ls "$packages"/quillon-ota_*.deb "$packages"/libquillon-dev_*.deb >/dev/null 2>&1 ||
  fail "no packages in $packages (./kit package makes them)"
step=$(now)
# step_done NAME: the time since the last step, as that step's timing.
step_done() {
  record_timing "$1" "$(elapsed_since "$step")"
  step=$(now)
}
# apt reads local packages as its own unprivileged user: give it copies it can read.
mkdir -p /tmp/packages
cp "$packages"/*.deb /tmp/packages/
chmod -R a+rX /tmp/packages
# man-db's answer "no" to rebuilding its index whenever a package brings a
# manual page (the debconf question man-db/auto-update): that rebuild reads
# every manual page of the host's root over 9p, minutes without KVM, and
# proves nothing of ours; man finds the page without the index (man -w below).
rm -f /var/lib/man-db/auto-update
# apt resolves the dependencies against the installed packages alone (an
# empty folder of package lists): with no network nothing could come from the
# archive anyway, and parsing the host's lists (tens of MB, sources and i386
# too) took a minute without KVM.
mkdir -p /tmp/apt-lists/partial
DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o Dir::State::Lists=/tmp/apt-lists \
  /tmp/packages/quillon-ota_*.deb /tmp/packages/libquillon-dev_*.deb >"$CASE_OUT/apt.log" 2>&1 ||
  fail "apt-get install failed: $(tail -5 "$CASE_OUT/apt.log")"
step_done apt-get

version=$(quillon-ota --version) || fail "quillon-ota --version failed"
[[ $version == "quillon-ota "[0-9]* ]] || fail "quillon-ota --version said '$version'"
page=$(man -w quillon-ota) || fail "man -w quillon-ota found no page"
[[ $page == /usr/share/man/man1/quillon-ota.1* ]] || fail "the manual page is at $page"
step_done version-and-man

head -c 50000 /dev/urandom >/tmp/fw.bin
HOME=/tmp/home quillon-ota /tmp/fw.bin --verify --progress none >"$CASE_OUT/update.log" 2>&1 ||
  fail "a simulated update failed: $(tail -2 "$CASE_OUT/update.log")"
step_done simulated-update

# Tab after "quillon-ota --ba", as bash-completion runs it.
completions=$(bash -c '
  . /usr/share/bash-completion/bash_completion
  _completion_loader quillon-ota
  function=$(complete -p quillon-ota | sed -E "s/.*-F ([^ ]+).*/\1/")
  COMP_WORDS=(quillon-ota --ba); COMP_CWORD=1; COMP_LINE="quillon-ota --ba"; COMP_POINT=${#COMP_LINE}
  "$function" quillon-ota --ba quillon-ota
  printf "%s\n" "${COMPREPLY[@]}"' 2>"$CASE_OUT/completion.log")
[ "$completions" = "--backend" ] || fail "Tab after --ba offered '$completions', not --backend"
step_done completion

# A program against the installed package only.
[ -f /usr/share/doc/libquillon-dev/examples/host-app/CMakeLists.txt ] || fail "the example app is not installed"
cat >/tmp/names.cpp <<'CPP'
#include <cstdio>
#include "quillon/ota/ota_checksum.h"
int main() {
  const std::uint8_t end[] = {0xF3, 0x01, 0x00};
  std::printf("END checksum %02X\n", quillon::calc_sum(end, 3));
  return quillon::calc_sum(end, 3) == 0xF4 ? 0 : 1;
}
CPP
# shellcheck disable=SC2046 # pkg-config's words are meant to split
c++ -std=c++20 -o /tmp/names /tmp/names.cpp $(pkg-config --cflags --libs quillon) >"$CASE_OUT/example.log" 2>&1 &&
  /tmp/names >>"$CASE_OUT/example.log" 2>&1 ||
  fail "a program did not build or run with pkg-config quillon: $(tail -3 "$CASE_OUT/example.log")"
step_done pkg-config-build
record_result pass "installed with apt-get; $version, $page, a simulated update, Tab completion, pkg-config"
