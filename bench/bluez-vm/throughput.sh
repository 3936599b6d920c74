#!/bin/bash
# A benchmark, not a test (run by bench/bluez_vm_throughput.sh, in the
# bluez-vm guest): a firmware update through the real bluetoothd, in bytes per second,
# against the ceiling the emulated link allows, the same number of bytes in
# writes of the same size through the same bluetoothd with no protocol
# (bluez_link_ceiling_bench), and against the ceiling this protocol allows
# on the same link: the same bytes in DATA packets of the size the module
# grants, each window waiting for the module's acknowledgement through the
# same kind of subscription (bluez_link_ceiling_bench --windowed). The
# figures and both ratios are recorded as the case's timings.
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
# The raw writes' time: from their first (once connected) until the module
# has counted every byte on FF02 (its --verbose lines say "(N in all)").
start_in_background raw "$QUILLON_BUILD/bench/bluez_link_ceiling_bench" --adapter hci0 --bytes "$bytes" --packet 256 --hold
wait_for 120 "the raw writer to connect" grep -q '^writing' "$CASE_OUT/raw.log" ||
  fail "the raw writer did not connect: $(tail -2 "$CASE_OUT/raw.log")"
raw_started=$(now)
wait_for 300 "the module to count every raw byte" grep -q "($bytes in all)" "$CASE_OUT/module1.log" ||
  fail "the raw writes did not all arrive: $(tail -2 "$CASE_OUT/raw.log")"
raw_rate=$(awk -v b="$bytes" -v s="$(elapsed_since "$raw_started")" 'BEGIN { printf "%.0f", b / s }')
kill "$BACKGROUND_PID"
wait "$BACKGROUND_PID" 2>/dev/null
"$QUILLON_BUILD/bench/bluez_link_ceiling_bench" --adapter hci0 --bytes "$bytes" --windowed >"$CASE_OUT/windowed.log" 2>&1 ||
  fail "the windowed writes failed: $(tail -2 "$CASE_OUT/windowed.log")"
windowed_rate=$(sed -nE 's/^windowed writes: .*, ([0-9]+) bytes\/s$/\1/p' "$CASE_OUT/windowed.log")
[ -n "$windowed_rate" ] || fail "no figure from the windowed writes: $(tail -2 "$CASE_OUT/windowed.log")"
record_timing update_bytes_per_second "$update_rate" B/s
record_timing raw_bytes_per_second "$raw_rate" B/s
record_timing windowed_bytes_per_second "$windowed_rate" B/s
record_timing update_to_raw_ratio "$(awk -v u="$update_rate" -v r="$raw_rate" 'BEGIN { printf "%.3f", u / r }')" ratio
record_timing update_to_windowed_ratio "$(awk -v u="$update_rate" -v w="$windowed_rate" 'BEGIN { printf "%.3f", u / w }')" ratio
record_result pass "update $update_rate B/s, raw $raw_rate B/s, windowed $windowed_rate B/s"
