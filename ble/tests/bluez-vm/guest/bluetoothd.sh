# Starting and stopping the guest's bluetoothd, shared by the session script
# and the cases' helpers. Sourced; expects QVM_GUEST_DIR and QVM_CONTROLLERS.
# One bluetoothd at a time, known by its pid file, so that a case's restart
# and the harness's return to the baseline cannot leave two behind.

QVM_BLUETOOTHD_PID=/run/qvm/bluetoothd.pid
QVM_BLUETOOTHD_CONF=/run/qvm/main.conf

qvm_bluetoothd_program() {
  local p
  for p in /usr/libexec/bluetooth/bluetoothd /usr/sbin/bluetoothd; do
    [ -x "$p" ] && { echo "$p"; return 0; }
  done
  return 1
}

# stop_bluetoothd: ends the running bluetoothd (TERM, then KILL).
stop_bluetoothd() {
  local pid i
  pid=$(cat "$QVM_BLUETOOTHD_PID" 2>/dev/null) || return 0
  rm -f "$QVM_BLUETOOTHD_PID"
  kill -TERM "$pid" 2>/dev/null || return 0
  for i in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.2
  done
  kill -KILL "$pid" 2>/dev/null
  sleep 0.5
}

# start_bluetoothd LOG [--stock] [Section.Key=Value...]: writes main.conf (the
# baseline with the settings over it) and starts bluetoothd with it, logging
# to LOG; returns once every controller is an adapter and powered.
start_bluetoothd() {
  local log=$1 program
  shift
  program=$(qvm_bluetoothd_program) || { echo "no bluetoothd" >&2; return 1; }
  mkdir -p /run/qvm
  /usr/bin/python3 "$QVM_GUEST_DIR/main_conf.py" "$QVM_GUEST_DIR/baseline-main.conf" \
    "$QVM_BLUETOOTHD_CONF" "$@" || return 1
  setsid "$program" -n -d -f "$QVM_BLUETOOTHD_CONF" >>"$log" 2>&1 </dev/null &
  echo $! >"$QVM_BLUETOOTHD_PID"
  /usr/bin/python3 "$QVM_GUEST_DIR/bluez_ready.py" --controllers "$QVM_CONTROLLERS" --timeout 60
}
