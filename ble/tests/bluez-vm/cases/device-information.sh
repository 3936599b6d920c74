#!/bin/bash
# What a module says it is, through the real bluetoothd: quillon-ota --list
# on hci0 reads the Device Information of quillon-module on hci1 (model,
# serial number, firmware revision 1.0.0) over a short connection; after an
# update to an image tagged "QVER:2.0.0", the same --list shows 2.0.0.
# case-timeout: 300
. "$QVM_CASE_LIB"
. "$QVM_GUEST_DIR/update_case_lib.sh"

image=$(make_image fw.bin 65536)
printf 'QVER:2.0.0\0' | dd of="$image" bs=1 seek=4096 conv=notrunc status=none
start_module 1 --model QL-7 --serial 0042 --firmware-revision 1.0.0

# listed NAME: "MODEL FIRMWARE SERIAL" from the run's "found" event for the module.
listed() {
  /usr/bin/python3 - "$CASE_OUT/$1.json" <<'PY'
import json, sys
for line in open(sys.argv[1]):
    line = line.split(" ", 1)[1] if line[:1].isdigit() else line
    try:
        event = json.loads(line)
    except ValueError:
        continue
    if event.get("event") == "found" and event.get("name") == "Printer BLE 1":
        print(event.get("model", "-"), event.get("firmware_revision", "-"), event.get("serial_number", "-"),
              *event.get("notes", []))
PY
}

# The scan time bounds each connection too; a guest without KVM is slow.
ota list-before --list --scan-timeout 20
[ "$OTA_STATUS" = 0 ] || fail "--list exited $OTA_STATUS: $(tail -1 "$CASE_OUT/list-before.json" | cut -c1-300)"
[ "$(listed list-before)" = "QL-7 1.0.0 0042" ] || fail "--list showed '$(listed list-before)' before the update"

ota update "$image"
[ "$OTA_STATUS" = 0 ] || fail "quillon-ota exited $OTA_STATUS: $(verdict update)"

ota list-after --list --scan-timeout 20
[ "$OTA_STATUS" = 0 ] || fail "--list exited $OTA_STATUS after the update"
[ "$(listed list-after)" = "QL-7 2.0.0 0042" ] || fail "--list showed '$(listed list-after)' after the update"
record_result pass "--list read QL-7 1.0.0 0042; after the update to the image tagged 2.0.0 it read QL-7 2.0.0 0042"
