#!/bin/bash
# Ctrl-C in the middle of a transfer: quillon-ota exits 130 and the module is
# left disconnected, from both sides of the link.
# case-timeout: 300
. "$QVM_CASE_LIB"
. "$QVM_GUEST_DIR/update_case_lib.sh"

image=$(make_image fw.bin 1048576)
start_module 1
ota_in_background interrupted "$image"
wait_for 120 "the transfer to begin" transfer_started interrupted || fail "the transfer never began: $(verdict interrupted)"
kill -INT "$OTA_PID"
wait "$OTA_PID"
status=$?
[ "$status" = 130 ] || fail "quillon-ota exited $status after Ctrl-C, not 130"
wait_for 30 "the link to go down" links_down hci0 hci1 ||
  fail "the module is still connected after Ctrl-C"
holds_image 1 "$image" && fail "the module holds the whole image after an interrupted transfer"
record_result pass "exit 130, link down on both sides"
