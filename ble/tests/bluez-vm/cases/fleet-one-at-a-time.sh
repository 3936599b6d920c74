#!/bin/bash
# Three modules, one at a time, while bluetoothd forgets devices it heard
# but never connected after 3 s (TemporaryTimeout): each update lasts longer
# than that, so the modules waiting their turn are long gone from bluetoothd
# when their turn comes. Every module must end holding the image.
# case-timeout: 600
. "$QVM_CASE_LIB"
. "$QVM_GUEST_DIR/update_case_lib.sh"

restart_bluetoothd General.TemporaryTimeout=3
image=$(make_image fw.bin 32768)
for n in 1 2 3; do start_module "$n"; done
ota fleet --all --parallel 1 --scan-timeout 20 "$image"
for n in 1 2 3; do
  holds_image "$n" "$image" || fail "module $n does not hold the image (quillon-ota exited $OTA_STATUS: $(module_statuses fleet | tr '\n' ' '))"
done
[ "$OTA_STATUS" = 0 ] || fail "every module holds the image but quillon-ota exited $OTA_STATUS"
record_result pass "three modules updated one after another"
