#!/bin/bash
# bluetoothd restarted while idle, then while a transfer runs. After an idle
# restart the module (which registers again) is updated as usual; a restart
# mid-transfer ends that run with a failure, never success; the next run
# updates the module.
# case-timeout: 480
. "$QVM_CASE_LIB"
. "$QVM_GUEST_DIR/update_case_lib.sh"

image=$(make_image fw.bin 16384)
big=$(make_image big.bin 1048576)
start_module 1
restart_bluetoothd
wait_for 60 "quillon-module to register again" registered 1 2 ||
  fail "quillon-module did not register again after bluetoothd restarted: $(tail -3 "$CASE_OUT/module1.log")"
ota idle "$image"
[ "$OTA_STATUS" = 0 ] || fail "the update after an idle restart exited $OTA_STATUS: $(verdict idle)"
holds_image 1 "$image" || fail "the module does not hold the image after an idle restart"

ota_in_background cut "$big"
wait_for 120 "the transfer to begin" transfer_started cut || fail "the transfer never began: $(verdict cut)"
restart_bluetoothd
wait "$OTA_PID"
status=$?
[ "$status" != 0 ] || holds_image 1 "$big" || fail "a run cut by bluetoothd's restart said success"
[ "$status" = 8 ] || [ "$status" = 6 ] || fail "a run cut by bluetoothd's restart exited $status, not 8 (link) or 6 (time-out): $(verdict cut)"
wait_for 60 "quillon-module to register again" registered 1 3 ||
  fail "quillon-module did not register again after the second restart"
ota again "$image"
[ "$OTA_STATUS" = 0 ] || fail "the update after a restart mid-transfer exited $OTA_STATUS: $(verdict again)"
holds_image 1 "$image" || fail "the module does not hold the image after the second restart"
record_result pass "idle restart: updated; restart mid-transfer: exit $status, then updated"
