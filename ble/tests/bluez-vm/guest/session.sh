#!/bin/bash
# PID 1 of the guest, after the initramfs has made the host's / its root: the
# emulated controllers, a system bus and bluetoothd, then each case in turn.
# Lines "QVM-MARK name" on the console let the host time the stages.
set -u
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LANG=C.UTF-8
RESULTS=/qvm/results
# shellcheck source=/dev/null
. "$RESULTS/vm.env"
export QVM_GUEST_DIR QVM_CONTROLLERS QUILLON_BUILD QUILLON_SOURCE
mark() { echo "QVM-MARK $1"; }
uptime_now() { cut -d' ' -f1 /proc/uptime; }
say() { echo "qvm: $*"; }

power_off() {
  mark session-end
  dmesg >"$RESULTS/dmesg.log" 2>&1
  sync
  /bin/busybox poweroff -f
  echo o >/proc/sysrq-trigger
}
# Whatever goes wrong here, the VM ends rather than hangs.
trap power_off EXIT

not_run_from() { # CASE... : these cases get "notrun" with the reason in $REASON
  local c
  for c in "$@"; do
    mkdir -p "$RESULTS/$c"
    [ -e "$RESULTS/$c/result" ] || printf 'notrun %s\n' "$REASON" >"$RESULTS/$c/result"
  done
}

covering_mount() { # PATH: the guest's deepest mount point that PATH lies under
  local path=$1 best=/ mount_point
  while read -r _ _ _ _ mount_point _; do
    case $path/ in "${mount_point%/}"/*) [ ${#mount_point} -gt ${#best} ] && best=$mount_point ;; esac
  done </proc/self/mountinfo
  echo "$best"
}

# reveal_host_folders FOLDER...: the guest mounts its own /dev, /tmp, /run and
# /var/lib/bluetooth over the host's, hiding a checkout, build or cases folder
# kept there (a clone under /tmp, say). Each hidden one is bound back at its
# own path from /qvm/root, the root as it was before those mounts, so every
# path the build and the cases hold stays true.
reveal_host_folders() {
  local folder revealed=() parent cover
  # Parents sort first; a folder within one bound back already comes with it.
  for folder in $(printf '%s\n' "$@" | sort -u); do
    for parent in "${revealed[@]}"; do
      case $folder/ in "$parent"/*) continue 2 ;; esac
    done
    cover=$(covering_mount "$folder")
    [ "$cover" = / ] && continue
    mkdir -p "$folder" && mount --bind "/qvm/root$folder" "$folder" || return 1
    say "$folder: bound back over the guest's own $cover"
    revealed+=("$folder")
  done
}

mark session-start
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs -o mode=755 tmpfs /run
mount -t tmpfs -o mode=1777 tmpfs /tmp
# Nothing of the host's own Bluetooth state (pairings, adapters) reaches bluetoothd.
mount -t tmpfs -o mode=755 tmpfs /var/lib/bluetooth
if ! reveal_host_folders "$QUILLON_SOURCE" "$QUILLON_BUILD" "$QVM_GUEST_DIR" "$QVM_CASES_DIR"; then
  REASON="the checkout, build or cases folder could not be reached past the guest's own mounts"
  not_run_from $QVM_CASES
  exit 1
fi
mkdir -p "/lib/modules/$QVM_KERNEL_VERSION" /run/qvm
mount --bind "/qvm/root$QVM_MODULES" "/lib/modules/$QVM_KERNEL_VERSION"
hostname quillon-vm
ip link set lo up 2>/dev/null

# shellcheck source=bluetoothd.sh
. "$QVM_GUEST_DIR/bluetoothd.sh"

controllers_present() { # how many controllers the kernel's management interface lists
  timeout 10 btmgmt info 2>/dev/null | grep -cE '^hci[0-9]+:'
}
controllers_in_sysfs() {
  ls /sys/class/bluetooth 2>/dev/null | grep -cE '^hci[0-9]+$'
}
reset_timeouts() { # the kernel's "Opcode 0x0c03 failed: -110": a controller's HCI Reset timed out
  dmesg | grep -cE 'hci[0-9]+: Opcode 0x0?c03 failed'
}

# The kernel's HCI Reset of a new controller can time out while btvirt is
# still creating the others, and that controller never reaches the management
# interface: so start btvirt over, as soon as the kernel reports such a
# timeout, until all of them are there.
BTVIRT_PID=
start_controllers() {
  local attempt i count failures
  for attempt in 1 2 3 4 5 6; do
    failures=$(reset_timeouts)
    btvirt "-l$QVM_CONTROLLERS" >>"$RESULTS/btvirt.log" 2>&1 </dev/null &
    BTVIRT_PID=$!
    # The limit is for a hang only; a reset timeout ends the wait at once.
    for i in $(seq 300); do
      count=$(controllers_present)
      [ "$count" -ge "$QVM_CONTROLLERS" ] && return 0
      [ "$(reset_timeouts)" -gt "$failures" ] && break
      kill -0 "$BTVIRT_PID" 2>/dev/null || break
      sleep 0.2
    done
    say "btvirt attempt $attempt: $count of $QVM_CONTROLLERS controllers; starting it again"
    kill -TERM "$BTVIRT_PID" 2>/dev/null
    wait "$BTVIRT_PID" 2>/dev/null
    for i in $(seq 100); do
      [ "$(controllers_in_sysfs)" -eq 0 ] && break
      sleep 0.2
    done
  done
  return 1
}

# No controllers (--controllers 0): cases that need no Bluetooth, such as
# installing the packages, get the system bus but neither btvirt nor bluetoothd.
with_bluetooth() { [ "$QVM_CONTROLLERS" -gt 0 ]; }

if with_bluetooth; then
  modprobe hci_vhci || { REASON="modprobe hci_vhci failed"; not_run_from $QVM_CASES; exit 1; }
  if ! start_controllers; then
    REASON="btvirt did not bring up $QVM_CONTROLLERS controllers: $(btmgmt info 2>&1 | tail -20)"
    not_run_from $QVM_CASES
    exit 1
  fi
  mark controllers-ready
fi

mkdir -p /run/dbus
dbus-daemon --system --fork || { REASON="the system dbus-daemon did not start"; not_run_from $QVM_CASES; exit 1; }
if with_bluetooth; then
  if ! start_bluetoothd "$RESULTS/bluetoothd-startup.log" 2>>"$RESULTS/bluetoothd-startup.log"; then
    REASON="bluetoothd did not come up: $(tail -20 "$RESULTS/bluetoothd-startup.log")"
    not_run_from $QVM_CASES
    exit 1
  fi
  mark bluetoothd-ready
fi

case_timeout() { # a case may ask for its own limit with a line "# case-timeout: SECONDS"
  local limit
  limit=$(sed -n 's/^# case-timeout: *\([0-9][0-9]*\).*/\1/p' "$1" | head -1)
  echo "${limit:-$QVM_CASE_TIMEOUT}"
}

# After a case: end what it left running, and bring back the baseline: the
# controllers, bluetoothd with the baseline settings and no known devices.
# bluetoothd's log goes to FOLDER/bluetoothd.log, and how long stopping and
# starting took to FOLDER/timings, with the case's own timings.
restore_baseline() { # FOLDER [fresh]: with "fresh", new controllers too
  with_bluetooth || return 0
  local started stopped
  started=$(uptime_now)
  stop_bluetoothd
  # Only bluetoothd's folders (one per adapter address): a checkout kept
  # under /var/lib/bluetooth is bound back here too.
  rm -rf /var/lib/bluetooth/??:??:??:??:??:??
  if [ "${2:-}" = fresh ] || [ "$(controllers_present)" -lt "$QVM_CONTROLLERS" ] ||
    ! kill -0 "$BTVIRT_PID" 2>/dev/null; then
    say "starting btvirt again"
    kill -TERM "$BTVIRT_PID" 2>/dev/null
    wait "$BTVIRT_PID" 2>/dev/null
    start_controllers || return 1
  fi
  stopped=$(uptime_now)
  start_bluetoothd "$1/bluetoothd.log" 2>>"$1/bluetoothd.log" || return 1
  awk -v a="$started" -v b="$stopped" -v c="$(uptime_now)" \
    'BEGIN { printf "baseline-stop %.2f s\nbaseline-start %.2f s\n", b - a, c - b }' >>"$1/timings"
}

run_case() { # NAME
  local name=$1 out="$RESULTS/$1" script="$QVM_CASES_DIR/$1.sh" limit pid status kernel_lines
  mkdir -p "$out"
  kernel_lines=$(dmesg | wc -l)
  limit=$(case_timeout "$script")
  rm -rf /run/qvm/case && mkdir -p /run/qvm/case
  mark "case-start:$name"
  # timeout puts the case in a process group of its own, so whatever the case
  # leaves behind can be ended with it.
  CASE_NAME=$name CASE_OUT=$out CASE_TIMEOUT=$limit QVM_CASE_STATE=/run/qvm/case \
    QVM_CASE_LIB="$QVM_GUEST_DIR/case_lib.sh" \
    DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket \
    timeout -k 5 "$limit" "$script" >"$out/log" 2>&1 </dev/null &
  pid=$!
  wait "$pid"
  status=$?
  mark "case-end:$name"
  if [ ! -e "$out/result" ]; then
    case $status in
      0) echo "pass" >"$out/result" ;;
      124 | 137) echo "fail timed out after $limit s" >"$out/result" ;;
      *) echo "fail exit status $status" >"$out/result" ;;
    esac
  fi
  sync
  say "$name: $(head -1 "$out/result")"
  kill -KILL -- "-$pid" 2>/dev/null
  local p
  while read -r p; do kill -KILL "$p" 2>/dev/null; done </run/qvm/case/pids 2>/dev/null
  cp "$QVM_BLUETOOTHD_CONF" "$out/main.conf" 2>/dev/null
  # What the kernel said during the case (the whole log is dmesg.log).
  dmesg | tail -n "+$((kernel_lines + 1))" >"$out/kernel.log"
}

set -- $QVM_CASES
while (($#)); do
  name=$1
  shift
  mkdir -p "$RESULTS/$name"
  # bluetoothd's log during a case goes with the case's results.
  if [ "$name" != "${QVM_CASES%% *}" ]; then
    if ! restore_baseline "$RESULTS/$name"; then
      REASON="the baseline could not be restored before it: $(dmesg | tail -15)"
      not_run_from "$name" "$@"
      break
    fi
  else
    ln -sf ../bluetoothd-startup.log "$RESULTS/$name/bluetoothd.log"
  fi
  run_case "$name"
  # The emulated controllers sometimes wedge while a link is set up (the
  # connection is aborted, then hci0 can neither disconnect nor connect
  # again). A failed case therefore runs once more on fresh controllers; it
  # passes only if that run passes, and its result says it took two. A case
  # with the line "# case-retry: no" (one expected to fail) runs once.
  if grep -q '^fail' "$RESULTS/$name/result" && ! grep -q '^# case-retry: no' "$QVM_CASES_DIR/$name.sh"; then
    first=$(head -1 "$RESULTS/$name/result")
    rm -rf "$RESULTS/$name.first-try"
    mv "$RESULTS/$name" "$RESULTS/$name.first-try"
    mkdir -p "$RESULTS/$name"
    if ! restore_baseline "$RESULTS/$name" fresh; then
      REASON="the baseline could not be restored for its second try: $(dmesg | tail -15)"
      not_run_from "$name" "$@"
      break
    fi
    run_case "$name"
    result=$(head -1 "$RESULTS/$name/result")
    printf '%s (second try; the first: %s)\n' "$result" "$first" >"$RESULTS/$name/result"
    sync
  fi
done
exit 0
