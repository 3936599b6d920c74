# Helpers for the cases that update modules, sourced after case_lib.sh:
# quillon-module instances on hci1.., quillon-ota on hci0, images, and what
# the modules received.
QUILLON_OTA="$QUILLON_BUILD/tools/quillon-ota/quillon-ota"
QUILLON_MODULE="$QUILLON_BUILD/tools/quillon-module/quillon-module"
declare -A MODULE_PID

# make_image NAME BYTES: random bytes in the case's folder; prints the path.
make_image() {
  head -c "$2" /dev/urandom >"$CASE_OUT/$1"
  echo "$CASE_OUT/$1"
}

# start_module N [OPTION...]: quillon-module on hciN, named "Printer BLE N",
# keeping what it receives in $CASE_OUT/moduleN.received; returns once it
# has registered with bluetoothd. Its pid is MODULE_PID[N].
start_module() {
  local n=$1
  shift
  start_in_background "module$n" "$QUILLON_MODULE" --adapter "hci$n" --name "Printer BLE $n" \
    --save-received "$CASE_OUT/module$n.received" --verbose "$@"
  MODULE_PID[$n]=$BACKGROUND_PID
  wait_for 60 "quillon-module on hci$n to be ready" grep -q '^ready' "$CASE_OUT/module$n.log" ||
    fail "quillon-module on hci$n did not start: $(tail -3 "$CASE_OUT/module$n.log")"
}

# ota NAME ARG...: quillon-ota over bluetoothd on hci0, with JSON events
# in $CASE_OUT/NAME.json (each line stamped with the guest's uptime) and
# the library's log in NAME.log; its exit status in OTA_STATUS. The scan
# time only bounds a hang (a loaded guest without KVM is slow); ARG can
# give another.
ota() {
  local name=$1
  shift
  "$QUILLON_OTA" --backend bluez --adapter hci0 --json --verbose --scan-timeout 60 "$@" 2>"$CASE_OUT/$name.log" |
    while IFS= read -r line; do printf '%s %s\n' "$(now)" "$line"; done >"$CASE_OUT/$name.json"
  OTA_STATUS=${PIPESTATUS[0]}
}

# ota_in_background NAME ARG...: the same, not waited for; its pid in OTA_PID.
ota_in_background() {
  local name=$1
  shift
  "$QUILLON_OTA" --backend bluez --adapter hci0 --json --verbose --scan-timeout 60 "$@" >"$CASE_OUT/$name.json" \
    2>"$CASE_OUT/$name.log" </dev/null &
  OTA_PID=$!
}

# module_ids N...: "--module-id ID" for each module on hciN, as quillon-ota
# over hci0 knows it (a name-based UUID of hci0's address and the module's), so that a
# fleet run's scan ends as soon as every one is found.
module_ids() {
  local n
  for n in "$@"; do
    /usr/bin/python3 -c '
import sys, uuid
space = uuid.UUID(bytes=bytes([0x3b, 0x6e, 0x2a, 0x51, 0x8c, 0x04, 0x4f, 0x1d,
                               0x9a, 0x27, 0x55, 0xc1, 0x0e, 0x8b, 0x73, 0x42]))
print("--module-id", str(uuid.uuid5(space, sys.argv[1].upper() + "/" + sys.argv[2].upper())).upper())' \
      "$(adapter_address hci0)" "$(adapter_address "hci$n")"
  done
}

# verdict NAME: the run's closing verdict line (or summary), for reasons.
verdict() {
  grep -E '"event": ?"(verdict|summary)"' "$CASE_OUT/$1.json" | tail -1 | cut -c1-400
}

# transfer_started NAME: the run has sent image bytes.
transfer_started() {
  grep -qE '"event": ?"transfer".*"bytes": ?[1-9]' "$CASE_OUT/$1.json"
}

# events NAME EVENT FIELD...: a line per EVENT event of the run's stamped
# JSON, its FIELDs tab-separated: "-" for one the event lacks, a list's
# items joined by blanks.
events() {
  /usr/bin/python3 - "$CASE_OUT/$1.json" "${@:2}" <<'PY'
import json, sys
path, kind, fields = sys.argv[1], sys.argv[2], sys.argv[3:]
for line in open(path):
    line = line.split(" ", 1)[1] if line[:1].isdigit() else line
    try:
        event = json.loads(line)
    except ValueError:
        continue
    if event.get("event") != kind:
        continue
    values = [event.get(field) for field in fields]
    print("\t".join("-" if value is None else " ".join(map(str, value)) if isinstance(value, list) else str(value)
                    for value in values))
PY
}

# module_statuses NAME: "NAME STATUS" for each module's verdict of a fleet run.
module_statuses() {
  events "$1" verdict module name exit_status | awk -F'\t' -v OFS='\t' '$1 != "-" { print $2, $3 }'
}

# status_of NAME MODULE_NAME: that module's own status in a fleet run.
status_of() {
  module_statuses "$1" | awk -F'\t' -v m="$2" '$1 == m { print $2 }'
}

# holds_image N IMAGE: module N received exactly IMAGE.
holds_image() {
  cmp -s "$2" "$CASE_OUT/module$1.received"
}

# link_up hciA hciB: hciA's bluetoothd sees a link to hciB.
link_up() {
  local address
  address=$(adapter_address "$2")
  [ "$(busctl get-property org.bluez "/org/bluez/$1/dev_${address//:/_}" org.bluez.Device1 Connected 2>/dev/null)" = "b true" ]
}

# record_transfer_timings NAME: when the run found, connected to and
# finished with the module, from its stamped events.
record_transfer_timings() {
  /usr/bin/python3 - "$CASE_OUT/$1.json" <<'PY' | while read -r step value unit; do record_timing "$step" "$value" "$unit"; done
import json, sys
first = found = connected = None
for line in open(sys.argv[1]):
    stamp, _, text = line.partition(" ")
    try:
        event, stamp = json.loads(text), float(stamp)
    except ValueError:
        continue
    first = first if first is not None else stamp
    kind = event.get("event")
    if kind == "found" and found is None:
        found = stamp
        print("discovery %.2f" % (stamp - first))
    elif kind == "connected" and connected is None and found is not None:
        connected = stamp
        print("connect %.2f" % (stamp - found))
    elif kind == "transfer" and event.get("bytes") == event.get("total") and event.get("seconds"):
        print("transfer %.2f" % event["seconds"])
        print("transfer_bytes_per_second %.0f B/s" % event["bytes_per_second"])
PY
}

# links_down hciA hciB: neither side's bluetoothd sees a link between them.
links_down() {
  ! link_up "$1" "$2" && ! link_up "$2" "$1"
}

# exited PID: the process has ended.
exited() {
  ! kill -0 "$1" 2>/dev/null
}

# registered N TIMES: module N has registered with bluetoothd TIMES times
# (once at its start, again after each restart of bluetoothd).
registered() {
  [ "$(grep -c '^ready' "$CASE_OUT/module$1.log")" -ge "$2" ]
}
