#!/bin/bash
# Another program on the host subscribed to the module's FF11 (StartNotify):
# bluetoothd would hand quillon-ota every acknowledgement once per
# subscriber. The module holds each acknowledgement 40 ms and counts DATA
# packets that arrive while one is due (beyond its credit) and writes after
# END. A program subscribed before the update: quillon-ota ends before any
# DATA, saying which subscription is in the way. One that subscribes during
# the transfer: the update completes, and the module holds exactly the
# image. Both counters stay 0 throughout.
# case-timeout: 400
. "$QVM_CASE_LIB"
. "$QVM_GUEST_DIR/update_case_lib.sh"

SUBSCRIBER="$QVM_GUEST_DIR/host_subscriber.py"
module_address=$(adapter_address hci1)

# counters_clean: no quillon-module line counts an overrun.
counters_clean() {
  ! grep -E 'credit: ([1-9][0-9]* DATA|.*, [1-9][0-9]* writes after END)' "$CASE_OUT/module1.log"
}

image=$(make_image fw.bin 65536)
# A first update makes the module the one quillon-ota remembers: while the
# other program holds its link it does not advertise, so --retrieve is how
# quillon-ota reaches it then (as an app reaches a module it knows).
start_module 1 --once
ota warm-up "$(make_image warm-up.bin 4096)"
[ "$OTA_STATUS" = 0 ] || fail "the first update exited $OTA_STATUS: $(verdict warm-up)"
wait_for 30 "the first quillon-module to end" exited "${MODULE_PID[1]}"
start_module 1 --once --hold-ack 40

start_in_background before /usr/bin/python3 "$SUBSCRIBER" --adapter hci0 --address "$module_address" --connect
before_pid=$BACKGROUND_PID
wait_for 120 "the first program to subscribe" grep -q '^\(subscribed\|refused\)' "$CASE_OUT/before.log" ||
  fail "the first program did not subscribe: $(tail -3 "$CASE_OUT/before.log")"
grep -q '^subscribed' "$CASE_OUT/before.log" || fail "the first program was refused: $(cat "$CASE_OUT/before.log")"

ota before-update --retrieve "$image"
if [ "$OTA_STATUS" = 0 ]; then
  # bluetoothd let quillon-ota have notifications of its own after all.
  holds_image 1 "$image" || fail "success, but the module does not hold exactly the image"
else
  [ "$OTA_STATUS" = 8 ] || fail "with a program subscribed first, quillon-ota exited $OTA_STATUS: $(verdict before-update)"
  grep -q 'another program on this computer is subscribed to FF11' "$CASE_OUT/before-update.json" ||
    fail "the verdict does not name the subscription in the way: $(verdict before-update)"
  ! transfer_started before-update || fail "DATA was sent although the update was refused"
fi
counters_clean || fail "the module counted an overrun with a program subscribed first"
kill "$before_pid"
wait "$before_pid" 2>/dev/null

if [ "$OTA_STATUS" != 0 ]; then
  ota_in_background during "$image"
  wait_for 120 "the transfer to start" transfer_started during || fail "the transfer did not start: $(verdict during)"
  start_in_background during-subscriber /usr/bin/python3 "$SUBSCRIBER" --adapter hci0 --address "$module_address"
  wait_for 120 "the second program to subscribe" grep -q '^\(subscribed\|refused\)' "$CASE_OUT/during-subscriber.log" ||
    fail "the second program got no answer: $(tail -3 "$CASE_OUT/during-subscriber.log")"
  wait "$OTA_PID"
  status=$?
  [ "$status" = 0 ] || fail "with a program subscribing during the transfer, quillon-ota exited $status: $(verdict during)"
  holds_image 1 "$image" || fail "the module does not hold exactly the image"
fi
wait_for 30 "quillon-module to end after its transfer" exited "${MODULE_PID[1]}"
counters_clean || fail "the module counted an overrun: $(grep 'credit:' "$CASE_OUT/module1.log" | tail -1)"
grep -q 'credit: 0 DATA packets arrived while an acknowledgement was due, 0 writes after END (END)' "$CASE_OUT/module1.log" ||
  fail "quillon-module logged no counters at END"
record_result pass "refused first ($(grep -o 'refused.*' "$CASE_OUT/during-subscriber.log" | head -1)); updated; no DATA beyond the credit, no write after END"
