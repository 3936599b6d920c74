#!/usr/bin/env bash
# Firmware-update speed through the real bluetoothd over emulated radios (the
# bluez-vm guest), against the ceiling of the same link (raw writes of the
# same size through the same bluetoothd) and against the ceiling the OTA
# protocol allows there (windows of DATA, each waiting for the module's
# acknowledgement). Prints each figure and both ratios, for three rounds.
#   bench/bluez_vm_throughput.sh [BUILD_DIR]     (default build/native)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
cmake --build "$build" --target quillon-ota quillon-module bluez_link_ceiling_bench -j2 >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
/usr/bin/python3 ble/tests/bluez-vm/run_vm.py --cache build/bluez-vm --out "$out" --build "$build" \
  --cases-dir bench/bluez-vm throughput
