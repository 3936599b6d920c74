#!/bin/bash
# A benchmark, not a test (run by bench/bluez_vm_throughput.sh, in the
# bluez-vm guest): a firmware update through the real bluetoothd, in bytes per second,
# against the ceiling the emulated link allows, the same number of bytes in
# writes of the same size through the same bluetoothd with no protocol
# (bluez_link_ceiling_bench). Both figures and their ratio are recorded as
# the case's timings.
# case-timeout: 900
. "$QVM_CASE_LIB"
. "$QVM_GUEST_DIR/update_case_lib.sh"

bytes=262144
image=$(make_image fw.bin "$bytes")
start_module 1
ota update "$image"
[ "$OTA_STATUS" = 0 ] || fail "the update exited $OTA_STATUS: $(verdict update)"
update_rate=$(grep -E '"event": ?"transfer"' "$CASE_OUT/update.json" | tail -1 |
  sed -E 's/.*"bytes_per_second": ?([0-9.]+).*/\1/')
"$QUILLON_BUILD/bench/bluez_link_ceiling_bench" --adapter hci0 --bytes "$bytes" --packet 247 >"$CASE_OUT/raw.out" ||
  fail "the raw writes failed: $(cat "$CASE_OUT/raw.out")"
raw_rate=$(sed -E 's/.* ([0-9.]+) bytes\/s$/\1/' "$CASE_OUT/raw.out")
record_timing update_bytes_per_second "$update_rate"
record_timing raw_bytes_per_second "$raw_rate"
record_timing update_to_raw_ratio "$(awk -v u="$update_rate" -v r="$raw_rate" 'BEGIN { printf "%.3f", u / r }')"
record_result pass "update $update_rate B/s, raw $raw_rate B/s"
