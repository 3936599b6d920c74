#!/bin/bash
# The BLE-world conformance suite (ble/tests/conformance) against the real
# bluetoothd: its bluez_vm world, whose central is the BlueZ backend on hci0
# and whose modules are hci1..hci3 made printer data modules by
# guest/module_peer.py (one for the whole run, which the world starts).
# Passes only when every test of that world passed or was skipped with its
# reason.
#
# What cannot be staged here, or is known to fail (the tests say why):
# - RSSI: btvirt measures none and reports 127 ("not available"); the scan
#   test expects exactly that here instead of a negative RSSI.
# - Two links at once (RefusedLostAndRemovedModulesReportWithErrors after its
#   first part, so also the module that goes away while another stays linked
#   and the one that refuses connections): on hci0's second link (to hci2
#   while hci1 is linked) hci2 answers hci0's MTU exchange but the answer
#   never reaches hci0, so services never resolve and the connection times
#   out; with the guest kernel 6.1, closing that link also BUGged in
#   hci_chan_del and killed bluetoothd. The test runs the link the module
#   drops, then skips.
# - A module refusing a connection with a chosen error: over the air a
#   peripheral can only stop being connectable (module_peer.py can, as
#   "Connectable" false); btvirt then fails LE Create Connection at once
#   (0x3e). Unexercised while the two-link part is skipped.
# case-timeout: 600
# shellcheck source=../guest/case_lib.sh
. "$QVM_CASE_LIB"

program="$QUILLON_BUILD/ble/tests/conformance/quillon_conformance_tests"
[ -x "$program" ] || fail "no $program (build the target quillon_conformance_tests)"

started=$(now)
QUILLON_CONFORMANCE_VM=1 "$program" --gtest_filter='BLEWorldContract/bluez_vm.*' \
  --gtest_output="xml:$CASE_OUT/conformance.xml" >"$CASE_OUT/conformance.log" 2>&1
status=$?
record_timing suite "$(elapsed_since "$started")"
summary=$(grep -E '^\[  (PASSED|SKIPPED|FAILED) *\] [0-9]' "$CASE_OUT/conformance.log" | tr '\n' ' ')
[ "$status" = 0 ] || fail "the suite exited $status: $summary; see conformance.log"
record_result pass "$summary"
