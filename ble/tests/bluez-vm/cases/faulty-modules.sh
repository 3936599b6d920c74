#!/bin/bash
# Two faulty modules in one run, each ending with its own status as over the
# simulated world: one falls silent part way (6, time-out), one corrupts its
# END (5, checksum failure). Neither is called updated. One at a time: the
# emulated controllers cannot carry two links from hci0 at once (see
# fleet-all-at-once).
# case-timeout: 480
. "$QVM_CASE_LIB"
. "$QVM_GUEST_DIR/update_case_lib.sh"

image=$(make_image fw.bin 16384)
start_module 1 --fault silent=20
start_module 2 --fault corrupt-end
ota fleet --parallel 1 $(module_ids 1 2) "$image"
[ "$OTA_STATUS" = 10 ] || fail "quillon-ota exited $OTA_STATUS, not 10 (a fleet run with failures): $(verdict fleet)"
silent=$(status_of fleet "Printer BLE 1")
corrupt=$(status_of fleet "Printer BLE 2")
[ "$silent" = 6 ] || fail "the silent module ended with status '$silent', not 6 (time-out)"
[ "$corrupt" = 5 ] || fail "the module with a corrupted END ended with status '$corrupt', not 5 (checksum failure)"
record_result pass "silent module: 6, corrupted END: 5"
