#!/bin/bash
# Only firmware the vendor signed reaches quillon-module through the real
# bluetoothd: keys and signatures made by minisign in the guest; an image
# signed by another key is refused (exit status 12) before any discovery,
# and the module receives nothing; the vendor's signed image is then sent,
# and the module holds exactly it.
# case-timeout: 300
. "$QVM_CASE_LIB"
. "$QVM_GUEST_DIR/update_case_lib.sh"

image=$(make_image fw.bin 16384)
for key in vendor other; do
  minisign -G -W -p "$CASE_OUT/$key.pub" -s "$CASE_OUT/$key.key" >/dev/null || fail "minisign -G failed"
done
minisign -S -s "$CASE_OUT/vendor.key" -m "$image" -t 'version=2.1.0 model=TPX-80' >/dev/null ||
  fail "minisign -S failed"
minisign -S -s "$CASE_OUT/other.key" -m "$image" -x "$CASE_OUT/other.minisig" >/dev/null ||
  fail "minisign -S failed"
# The case's own keyring (empty), not the host's /etc.
export QUILLON_TRUSTED_KEYS_DIR=$CASE_OUT/trusted-keys.d

start_module 1 --once
ota refused --trusted-key "$CASE_OUT/vendor.pub" --signature "$CASE_OUT/other.minisig" "$image"
[ "$OTA_STATUS" = 12 ] || fail "an image signed by another key: quillon-ota exited $OTA_STATUS: $(verdict refused)"
grep -q '"reason":"unknown_key"' "$CASE_OUT/refused.json" || fail "the refusal does not name an unknown key"
grep -qE '"event": ?"scanning"' "$CASE_OUT/refused.json" && fail "the refused run scanned for modules"
[ -s "$CASE_OUT/module1.received" ] && fail "the module received bytes of a refused image"

ota update --trusted-key "$CASE_OUT/vendor.pub" "$image"
[ "$OTA_STATUS" = 0 ] || fail "the signed image: quillon-ota exited $OTA_STATUS: $(verdict update)"
grep -q '"trusted_comment":"version=2.1.0 model=TPX-80"' "$CASE_OUT/update.json" ||
  fail "the trusted comment was not shown"
wait_for 30 "quillon-module to end after its transfer" exited "${MODULE_PID[1]}"
wait "${MODULE_PID[1]}"
module_status=$?
[ "$module_status" = 0 ] || fail "quillon-module --once exited $module_status after a successful update"
holds_image 1 "$image" || fail "the module does not hold exactly the image"
record_result pass "refused the image signed by another key before any discovery; sent the vendor's signed image"
