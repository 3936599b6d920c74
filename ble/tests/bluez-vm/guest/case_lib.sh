# Helpers for cases, sourced as: . "$QVM_CASE_LIB"
# A case runs in the guest as root with the system bus and bluetoothd up and
# hci0..hci$((QVM_CONTROLLERS-1)) powered; see ../README.md.

# shellcheck source=bluetoothd.sh
. "$QVM_GUEST_DIR/bluetoothd.sh"

# record_result pass|fail REASON...: the case's verdict, written at once so
# that it stands even if tearing down the links afterwards brings the guest
# down. A fail is never overwritten by a later pass.
record_result() {
  local verdict=$1
  shift
  case $verdict in
    pass | fail) ;;
    *) echo "record_result: '$verdict' is neither pass nor fail" >&2; return 2 ;;
  esac
  if [ "$verdict" = pass ] && grep -q '^fail' "$CASE_OUT/result" 2>/dev/null; then
    return 0
  fi
  printf '%s %s\n' "$verdict" "$*" >"$CASE_OUT/result.new" && mv "$CASE_OUT/result.new" "$CASE_OUT/result"
  sync
}

# fail REASON...: records the failure, says why on the log, ends the case.
fail() {
  echo "FAIL: $*" >&2
  record_result fail "$@"
  exit 1
}

# record_timing NAME VALUE [UNIT]: the host's driver prints it with the run's
# timings, in UNIT (default s: seconds; e.g. B/s, or "ratio" for a plain number).
record_timing() {
  echo "$1 $2 ${3:-s}" >>"$CASE_OUT/timings"
}

# now: seconds since boot, for timing steps (now; ...; elapsed_since $t).
now() { cut -d' ' -f1 /proc/uptime; }
elapsed_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

# wait_for SECONDS WHAT COMMAND...: runs COMMAND every 0.2 s until it succeeds;
# after SECONDS says what it was waiting for and returns 1. Limits are for
# hangs only: a guest without KVM is several times slower.
wait_for() {
  local limit=$1 what=$2 deadline
  shift 2
  deadline=$(awk -v a="$(now)" -v l="$limit" 'BEGIN { print a + l }')
  until "$@" >/dev/null 2>&1; do
    if awk -v a="$(now)" -v d="$deadline" 'BEGIN { exit !(a > d) }'; then
      echo "timed out after $limit s waiting for $what" >&2
      return 1
    fi
    sleep 0.2
  done
}

# start_in_background NAME COMMAND...: runs COMMAND with its output in
# $CASE_OUT/NAME.log; its pid is in BACKGROUND_PID. The harness ends it after
# the case, whatever happens.
start_in_background() {
  local name=$1
  shift
  "$@" >"$CASE_OUT/$name.log" 2>&1 </dev/null &
  BACKGROUND_PID=$!
  echo "$BACKGROUND_PID" >>"$QVM_CASE_STATE/pids"
}

# restart_bluetoothd [--stock] [Section.Key=Value...]: bluetoothd again, with
# the baseline main.conf (or, with --stock, bluetoothd's defaults, e.g. EATT
# on) and these settings over it, e.g. General.TemporaryTimeout=5 or
# GATT.ExchangeMTU=23. Returns once every adapter is back and powered. The
# harness restores the baseline after the case.
restart_bluetoothd() {
  stop_bluetoothd
  start_bluetoothd "$CASE_OUT/bluetoothd.log" "$@"
}

# adapter_address hciN: the controller's address, as bluetoothd reports it.
adapter_address() {
  busctl get-property org.bluez "/org/bluez/$1" org.bluez.Adapter1 Address | cut -d'"' -f2
}
