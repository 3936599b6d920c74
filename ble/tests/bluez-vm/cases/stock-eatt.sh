#!/bin/bash
# bluetoothd with its stock settings (EATT on, several ATT channels, so
# writes without response may arrive out of order): whatever happens, an
# update never ends in success unless the module holds exactly the image.
# case-timeout: 300
. "$QVM_CASE_LIB"
. "$QVM_GUEST_DIR/update_case_lib.sh"

restart_bluetoothd --stock
image=$(make_image fw.bin 32768)
start_module 1 --credit 32
ota update "$image"
if [ "$OTA_STATUS" = 0 ]; then
  holds_image 1 "$image" || fail "success, but the module does not hold the image"
fi
record_result pass "exit $OTA_STATUS; never success with a corrupted image"
