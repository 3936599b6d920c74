#!/bin/bash
# quillon-module against centrals that misbehave on purpose, one after
# another in one run of the module (guest/hostile_central.py on hci0): DATA
# before START, four times the announced length, a START of 4 GiB, writes of
# random bytes, and a transfer left in the middle of a window by a central
# that disconnects, after which quillon-ota connects at once. Each stage
# gets the module's line that names it, --save-received never holds more
# than was announced, and quillon-ota's honest update still succeeds.
# case-timeout: 600
. "$QVM_CASE_LIB"
. "$QVM_GUEST_DIR/update_case_lib.sh"

image=$(make_image fw.bin 16384)
start_module 1
started=$(now)
/usr/bin/python3 "$QVM_GUEST_DIR/hostile_central.py" --adapter hci0 --address "$(adapter_address hci1)" \
  --module-log "$CASE_OUT/module1.log" --received "$CASE_OUT/module1.received" \
  >"$CASE_OUT/hostile.out" 2>"$CASE_OUT/hostile.log"
status=$?
record_timing hostile "$(elapsed_since "$started")"
[ "$status" = 0 ] || fail "$(grep failed "$CASE_OUT/hostile.out" || tail -1 "$CASE_OUT/hostile.log")"

# Another central, at once: the honest update.
ota honest "$image"
record_transfer_timings honest
[ "$OTA_STATUS" = 0 ] || fail "the honest update after the hostile centrals: quillon-ota exited $OTA_STATUS: $(verdict honest)"
grep -q "START before END: the transfer under way is dropped, 1215 of 25600 bytes received" "$CASE_OUT/module1.log" ||
  fail "no line for the transfer left in the middle of a window"
holds_image 1 "$image" || fail "the module does not hold exactly the image after the honest update"

# Every save held no more than its transfer announced.
awk '/^END: .* of [0-9]+ bytes received/ { announced = $(NF - 2) }
     /^START: [0-9]+ bytes announced, refused/ { announced = 0 }
     /^saved [0-9]+ bytes/ { if ($2 > announced) { print "saved " $2 " of " announced " announced"; bad = 1 } }
     END { exit bad }' "$CASE_OUT/module1.log" >"$CASE_OUT/saves.txt" ||
  fail "a save held more than was announced: $(head -1 "$CASE_OUT/saves.txt")"
record_result pass "$(grep -c '^stage .*:' "$CASE_OUT/hostile.out") hostile stages each named by the module, then updated"
