#!/bin/bash
# A module updated a moment ago is found again with --retrieve (the module
# remembered from the last connection) and takes a second image.
# case-timeout: 300
. "$QVM_CASE_LIB"
. "$QVM_GUEST_DIR/update_case_lib.sh"

first=$(make_image first.bin 16384)
second=$(make_image second.bin 16384)
start_module 1
ota update "$first"
[ "$OTA_STATUS" = 0 ] || fail "the first update exited $OTA_STATUS: $(verdict update)"
holds_image 1 "$first" || fail "the module does not hold the first image"
ota retrieve --retrieve "$second"
[ "$OTA_STATUS" = 0 ] || fail "--retrieve after an update exited $OTA_STATUS: $(verdict retrieve)"
holds_image 1 "$second" || fail "the module does not hold the second image"
record_result pass "the remembered module was retrieved and updated again"
