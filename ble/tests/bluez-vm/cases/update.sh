#!/bin/bash
# One module updated through the real bluetoothd: quillon-ota on hci0 sends
# an image to quillon-module on hci1, which then holds exactly the image and,
# run with --once, ends with its own verdict: success. The module holds each
# acknowledgement 40 ms: no DATA may come meanwhile (beyond its credit), and
# nothing after END.
# case-timeout: 300
. "$QVM_CASE_LIB"
. "$QVM_GUEST_DIR/update_case_lib.sh"

image=$(make_image fw.bin 65536)
start_module 1 --once --hold-ack 40
ota update "$image"
record_transfer_timings update
[ "$OTA_STATUS" = 0 ] || fail "quillon-ota exited $OTA_STATUS: $(verdict update)"
wait_for 30 "quillon-module to end after its transfer" exited "${MODULE_PID[1]}"
wait "${MODULE_PID[1]}"
module_status=$?
[ "$module_status" = 0 ] || fail "quillon-module --once exited $module_status after a successful update"
holds_image 1 "$image" || fail "the module does not hold exactly the image"
grep -q 'credit: 0 DATA packets arrived while an acknowledgement was due, 0 writes after END (END)' "$CASE_OUT/module1.log" ||
  fail "the module counted an overrun: $(grep 'credit:' "$CASE_OUT/module1.log" | tail -1)"
! grep -qE 'credit: .*, [1-9][0-9]* writes after END' "$CASE_OUT/module1.log" ||
  fail "the host wrote after END: $(grep 'credit:' "$CASE_OUT/module1.log" | tail -1)"
record_result pass "updated; the module holds the image and ended with success"
