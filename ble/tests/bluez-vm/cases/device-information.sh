#!/bin/bash
# What a module says it is, through the real bluetoothd: an update with
# --image-version 2.0.0 to an image tagged "QVER:2.0.0" reads the Device
# Information of quillon-module on hci1 (firmware revision 1.0.0, model)
# before and its version after; quillon-ota --list on hci0 then reads model,
# serial number and firmware revision (2.0.0) over a short connection, and
# the same update command again sends nothing (exit status 20). (--list scans
# for its whole --scan-timeout, so it runs once, after the update, where it
# also shows that it reads the module afresh.)
# case-timeout: 300
. "$QVM_CASE_LIB"
. "$QVM_GUEST_DIR/update_case_lib.sh"

image=$(make_image fw.bin 16384)
printf 'QVER:2.0.0\0' | dd of="$image" bs=1 seek=4096 conv=notrunc status=none
start_module 1 --model QL-7 --serial 0042 --firmware-revision 1.0.0

# listed NAME: "MODEL FIRMWARE SERIAL [NOTES]" from the run's "found" event for the module.
listed() {
  events "$1" found name model firmware_revision serial_number notes |
    awk -F'\t' '$1 == "Printer BLE 1" { line = $2 " " $3 " " $4; if ($5 != "-") line = line " " $5; print line }'
}

# The image is 2.0.0: the module (1.0.0) is older, so it is updated, and
# says 2.0.0 when asked again on the same link.
ota update --image-version 2.0.0 "$image"
[ "$OTA_STATUS" = 0 ] || fail "quillon-ota exited $OTA_STATUS: $(verdict update)"
versions=$(events update verdict model version new_version action)
[ "$versions" = "$(printf 'QL-7\t1.0.0\t2.0.0\tupdate')" ] ||
  fail "the update's verdict gave '$versions', not QL-7 1.0.0 → 2.0.0"

# The scan time bounds each connection too; a guest without KVM is slow.
ota list-after --list --scan-timeout 20
[ "$OTA_STATUS" = 0 ] || fail "--list exited $OTA_STATUS after the update: $(tail -1 "$CASE_OUT/list-after.json" | cut -c1-300)"
[ "$(listed list-after)" = "QL-7 2.0.0 0042" ] || fail "--list showed '$(listed list-after)' after the update"

# The same command again: the module says 2.0.0, so nothing is sent.
received=$(sha256sum <"$CASE_OUT/module1.received")
ota rerun --image-version 2.0.0 "$image"
[ "$OTA_STATUS" = 20 ] || fail "the rerun exited $OTA_STATUS, not 20 (nothing to do): $(verdict rerun)"
! transfer_started rerun || fail "the rerun sent image bytes"
[ "$(sha256sum <"$CASE_OUT/module1.received")" = "$received" ] || fail "the module received something on the rerun"
[ "$(events rerun verdict reason)" = "already 2.0.0" ] || fail "the rerun said '$(events rerun verdict reason)'"
record_result pass "the update to 2.0.0 read QL-7 1.0.0 → 2.0.0 and --list then QL-7 2.0.0 0042; the same command again sent nothing (exit 20, already 2.0.0)"
