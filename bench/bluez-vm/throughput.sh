#!/bin/bash
# A benchmark, not a test (run by bench/bluez_vm_throughput.sh, in the
# bluez-vm guest): a firmware update through the real bluetoothd, in bytes
# per second, against the ceiling the emulated link allows, the same number
# of bytes in writes of the same size through the same bluetoothd with no
# protocol (bluez_link_ceiling_bench), and against the ceiling this protocol
# allows on the same link: the same bytes in DATA packets of the size the
# module grants, each window waiting for the module's acknowledgement
# through the same kind of subscription (bluez_link_ceiling_bench
# --windowed). Three rounds in one boot, so that the figures' spread shows;
# each round's figures and both ratios are recorded as the case's timings.
# case-timeout: 1500
# case-retry: no
. "$QVM_CASE_LIB"
. "$QVM_GUEST_DIR/update_case_lib.sh"

bytes=65536
rounds=3
module_address=$(adapter_address hci1)
image=$(make_image fw.bin "$bytes")
start_module 1
summary=""
for round in $(seq 1 "$rounds"); do
  ota "update$round" "$image"
  [ "$OTA_STATUS" = 0 ] || fail "round $round: the update exited $OTA_STATUS: $(verdict "update$round")"
  update_rate=$(grep -E '"event": ?"transfer"' "$CASE_OUT/update$round.json" | tail -1 |
    sed -E 's/.*"bytes_per_second": ?([0-9.]+).*/\1/')
  # The raw writes' time: from their first (once connected) until the module
  # has counted every byte on FF02 (its --verbose lines say "(N in all)",
  # counted since it started).
  start_in_background "raw$round" "$QUILLON_BUILD/bench/bluez_link_ceiling_bench" --adapter hci0 --bytes "$bytes" \
    --packet 256 --hold
  raw_pid=$BACKGROUND_PID
  wait_for 120 "the raw writer to connect" grep -q '^writing' "$CASE_OUT/raw$round.log" ||
    fail "round $round: the raw writer did not connect: $(tail -2 "$CASE_OUT/raw$round.log")"
  raw_started=$(now)
  wait_for 300 "the module to count every raw byte" grep -q "($((bytes * round)) in all)" "$CASE_OUT/module1.log" ||
    fail "round $round: the raw writes did not all arrive: $(tail -2 "$CASE_OUT/raw$round.log")"
  raw_rate=$(awk -v b="$bytes" -v s="$(elapsed_since "$raw_started")" 'BEGIN { printf "%.0f", b / s }')
  # The held link keeps the module from advertising: it goes before the
  # windowed writer looks for the module.
  kill "$raw_pid"
  wait "$raw_pid" 2>/dev/null
  busctl call org.bluez "/org/bluez/hci0/dev_${module_address//:/_}" org.bluez.Device1 Disconnect >/dev/null 2>&1
  wait_for 60 "the raw link to go down" links_down hci0 hci1 || fail "round $round: the raw link stayed up"
  "$QUILLON_BUILD/bench/bluez_link_ceiling_bench" --adapter hci0 --bytes "$bytes" --windowed \
    >"$CASE_OUT/windowed$round.log" 2>&1 ||
    fail "round $round: the windowed writes failed: $(tail -2 "$CASE_OUT/windowed$round.log")"
  windowed_rate=$(sed -nE 's/^windowed writes: .*, ([0-9]+) bytes\/s$/\1/p' "$CASE_OUT/windowed$round.log")
  [ -n "$windowed_rate" ] || fail "round $round: no figure from the windowed writes"
  wait_for 60 "the windowed link to go down" links_down hci0 hci1 || fail "round $round: the windowed link stayed up"
  record_timing "update_bytes_per_second_$round" "$update_rate" B/s
  record_timing "raw_bytes_per_second_$round" "$raw_rate" B/s
  record_timing "windowed_bytes_per_second_$round" "$windowed_rate" B/s
  record_timing "update_to_raw_ratio_$round" "$(awk -v u="$update_rate" -v r="$raw_rate" 'BEGIN { printf "%.3f", u / r }')" ratio
  record_timing "update_to_windowed_ratio_$round" \
    "$(awk -v u="$update_rate" -v w="$windowed_rate" 'BEGIN { printf "%.3f", u / w }')" ratio
  summary="$summary round $round: update ${update_rate%.*} B/s, raw $raw_rate B/s, windowed $windowed_rate B/s;"
done
record_result pass "$summary"
