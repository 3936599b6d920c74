#!/bin/bash
# A module granting packets larger than the link carries: bluetoothd limits
# the ATT MTU to 100 (ExchangeMTU), so no write can carry more than 97 bytes,
# and the module asks for 200-byte packets. The update must end with a clear
# reason that names both sizes, and the module must not be called updated.
# case-timeout: 300
. "$QVM_CASE_LIB"
. "$QVM_GUEST_DIR/update_case_lib.sh"

restart_bluetoothd GATT.ExchangeMTU=100
image=$(make_image fw.bin 16384)
start_module 1 --mtu 200
ota update "$image"
[ "$OTA_STATUS" != 0 ] || fail "quillon-ota called a module updated over a link that cannot carry its packets"
holds_image 1 "$image" && fail "the module holds the image, yet the packets were too large"
line=$(verdict update)
case $line in
  *200*97* | *97*200*) ;;
  *) fail "the verdict does not name the module's packet size (200) and the link's limit (97): $line" ;;
esac
record_result pass "refused with both sizes named (exit $OTA_STATUS)"
