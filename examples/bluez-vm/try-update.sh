#!/bin/bash
# quillon-module on hci1 and quillon-ota on hci0 update each other through
# the real bluetoothd, inside the bluez-vm guest (emulated radios). Run from
# the repository's top, after ./kit build:
#   /usr/bin/python3 ble/tests/bluez-vm/run_vm.py --cache build/bluez-vm \
#       --out build/try --build build/native --cases-dir examples/bluez-vm try-update
#   cat build/try/try-update/log
# Copy this file next to it and change the commands to try your own.
. "$QVM_CASE_LIB"
tools=$QUILLON_BUILD/tools
head -c 65536 /dev/urandom >"$CASE_OUT/fw.bin"

# The module: advertises FF10 on hci1, keeps what it receives, ends after one transfer.
"$tools/quillon-module/quillon-module" --adapter hci1 --once --save-received "$CASE_OUT/got.bin" \
  >"$CASE_OUT/module.out" 2>&1 &
module=$!
wait_for 60 "quillon-module to be ready" grep -q '^ready' "$CASE_OUT/module.out"

# The central: finds the module through bluetoothd on hci0 and sends the image.
"$tools/quillon-ota/quillon-ota" --backend bluez --adapter hci0 --progress lines "$CASE_OUT/fw.bin"
echo "quillon-ota exited $?"
wait "$module"
echo "quillon-module exited $?"
cat "$CASE_OUT/module.out"
cmp "$CASE_OUT/fw.bin" "$CASE_OUT/got.bin" && record_result pass "the module holds exactly the image"
