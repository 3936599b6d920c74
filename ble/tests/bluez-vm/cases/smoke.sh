#!/bin/bash
# The setup itself: every emulated controller is a powered adapter of the real
# bluetoothd, and two of them form a real LE link through bluetoothd's D-Bus
# API alone: hci1 advertises, hci0 discovers it, connects, resolves services.
# shellcheck source=../guest/case_lib.sh
. "$QVM_CASE_LIB"

missing=$(unpowered_adapter) && fail "$missing is not a powered adapter of bluetoothd"
central=$(adapter_address hci0)
peripheral=$(adapter_address hci1)
[ -n "$central" ] && [ -n "$peripheral" ] || fail "hci0 or hci1 has no address"

start_in_background advertiser /usr/bin/python3 "$QVM_GUEST_DIR/advertise.py" --adapter hci1 --name quillon-smoke
wait_for 60 "hci1 to advertise" grep -q '^advertising' "$CASE_OUT/advertiser.log" ||
  fail "hci1 did not advertise: $(tail -3 "$CASE_OUT/advertiser.log")"

/usr/bin/python3 "$QVM_GUEST_DIR/connect_central.py" --adapter hci0 --address "$peripheral" \
  >"$CASE_OUT/central.out" || fail "hci0 did not get a link to hci1 with its services resolved"
while read -r step seconds; do record_timing "$step" "$seconds"; done <"$CASE_OUT/central.out"

# The other end must see the same link: a link only one side believes in is no link.
peer_device="/org/bluez/hci1/dev_${central//:/_}"
connected=$(busctl get-property org.bluez "$peer_device" org.bluez.Device1 Connected 2>&1)
[ "$connected" = "b true" ] || fail "hci1 does not see hci0 connected ($connected)"

record_result pass "hci0 found hci1, connected and resolved its services; hci1 sees the link"
