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

# unpowered_adapter: the first of hci0..hci$((QVM_CONTROLLERS-1)) that is not
# a powered adapter of bluetoothd; fails when there is none. busctl rather
# than a python helper: bluetoothd starts before every case, and a python
# process that imports dbus takes seconds in a guest without KVM.
unpowered_adapter() {
  local i
  for ((i = 0; i < QVM_CONTROLLERS; i++)); do
    if [ "$(busctl get-property org.bluez "/org/bluez/hci$i" org.bluez.Adapter1 Powered 2>/dev/null)" != "b true" ]; then
      echo "hci$i"
      return 0
    fi
  done
  return 1
}

# start_bluetoothd LOG [--stock] [Section.Key=Value...]: writes main.conf (the
# baseline with the settings over it) and starts bluetoothd with it, logging
# to LOG; returns once every controller is an adapter and powered.
start_bluetoothd() {
  local log=$1 program pid i missing
  shift
  program=$(qvm_bluetoothd_program) || { echo "no bluetoothd" >&2; return 1; }
  mkdir -p /run/qvm
  if (($#)); then
    /usr/bin/python3 "$QVM_GUEST_DIR/main_conf.py" "$QVM_GUEST_DIR/baseline-main.conf" \
      "$QVM_BLUETOOTHD_CONF" "$@" || return 1
  else
    cp "$QVM_GUEST_DIR/baseline-main.conf" "$QVM_BLUETOOTHD_CONF" || return 1
  fi
  setsid "$program" -n -d -f "$QVM_BLUETOOTHD_CONF" >>"$log" 2>&1 </dev/null &
  pid=$!
  echo "$pid" >"$QVM_BLUETOOTHD_PID"
  # The limit is for a hang only.
  for i in $(seq 300); do
    missing=$(unpowered_adapter) || return 0
    kill -0 "$pid" 2>/dev/null || { echo "bluetoothd exited before $missing was a powered adapter" >&2; return 1; }
    sleep 0.2
  done
  echo "bluetoothd not ready after 60 s: $missing is not a powered adapter" >&2
  return 1
}
