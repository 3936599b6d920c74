#!/usr/bin/env bash
# The library half of the demo: signs a firmware image as a vendor would
# (minisign), then updates the simulated printer module's firmware with
# quillon-ota, which checks the image's signature by the vendor's key and
# its published SHA-256 first, and checks that the module ends up holding
# exactly the image; then updates a fleet of three simulated modules at
# once, a bar each, skipping the one that already runs the signed version,
# and ends with the fleet's summary; the same command again has nothing to
# do; last, an image signed by another key is refused before any module is
# looked for.
#
# Usage: demo/quillon-demo.sh [PATH_TO_QUILLON_OTA]
#        (default: build/native/tools/quillon-ota/quillon-ota)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
TOOL=${1:-$ROOT/build/native/tools/quillon-ota/quillon-ota}
if [ ! -x "$TOOL" ]; then
  echo "quillon-demo: $TOOL not found; build it first (./kit build)" >&2
  exit 1
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/quillon-demo-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
# The remembered module and the download cache stay in the demo's folder.
export XDG_CONFIG_HOME=$WORK/config XDG_CACHE_HOME=$WORK/cache
# The demo's own keyring (none), not the machine's.
export QUILLON_TRUSTED_KEYS_DIR=$WORK/trusted-keys.d

# expect_status STATUS WHAT COMMAND...: runs COMMAND, and ends the demo
# saying WHAT unless it exits with STATUS.
expect_status() {
  local expected=$1 what=$2 status=0
  shift 2
  "$@" || status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "quillon-demo: $what (exit status $status)" >&2
    exit 1
  fi
}

IMAGE=$WORK/printer-module-fw.bin
python3 - "$IMAGE" <<'PY'
import random, sys
random.seed(2024)
image = bytearray(random.getrandbits(8) for _ in range(384 * 1024))
# Its version, where the emulated modules look for it after an update.
image[0x200:0x200 + 11] = b"QVER:2.1.0\0"
open(sys.argv[1], "wb").write(image)
PY
echo "quillon-demo: firmware image of $(stat -c %s "$IMAGE") bytes"
# The digest published beside the image, as a vendor would: quillon-ota
# sends the image only if it is the one this list names.
(cd "$WORK" && sha256sum "$(basename "$IMAGE")" >SHA256SUMS)
echo "quillon-demo: SHA256SUMS lists $(cat "$WORK/SHA256SUMS")"
# The vendor's two lines: a key pair (once; -W: no password, for the demo)
# and a signature whose trusted comment states version and model.
minisign -G -W -p "$WORK/vendor.pub" -s "$WORK/vendor.key" >/dev/null
minisign -S -s "$WORK/vendor.key" -m "$IMAGE" -t 'version=2.1.0 model=TPX-80' >/dev/null
echo "quillon-demo: signed by the vendor's key: $(basename "$IMAGE").minisig"

# A few milliseconds per answer, like a real BLE link, so the transfer
# takes a moment and the progress is worth watching.
set +e
# The module is a TPX-80 running 2.0.0: the signed version=2.1.0 is newer,
# and model=TPX-80 is its model.
"$TOOL" "$IMAGE" --trusted-key "$WORK/vendor.pub" --sha256 "$WORK/SHA256SUMS" --latency 4 --verify --save-received "$WORK/received.bin" \
  --model TPX-80 --firmware-revision 2.0.0
status=$?
set -e
if [ "$status" -ne 0 ]; then
  echo "quillon-demo: quillon-ota failed with exit status $status" >&2
  exit "$status"
fi
received_sha256=$(sha256sum <"$WORK/received.bin" | cut -d' ' -f1)
if cmp -s "$IMAGE" "$WORK/received.bin"; then
  echo "quillon-demo: the module holds exactly the image ($(stat -c %s "$WORK/received.bin") bytes, sha256sum $received_sha256)"
else
  echo "quillon-demo: the module's copy differs from the image" >&2
  exit 1
fi

# What the shop's three modules say they are, each read over a short connection.
echo
echo "quillon-demo: which modules are in range, and what each runs"
"$TOOL" --list --modules 3 --model TPX-80 --firmware-revision 2.0.0 --firmware-revision 2:2.1.0 --scan-timeout 1

# A shop's fleet: modules 1 and 3 run 2.0.0 and are updated at once, each
# checked with --verify; module 2 runs 2.1.0 already and is skipped.
echo
echo "quillon-demo: a fleet of three modules; only those older than the signed 2.1.0 are updated"
FLEET=("$IMAGE" --trusted-key "$WORK/vendor.pub" --all --modules 3 --scan-timeout 1 --sha256 "$WORK/SHA256SUMS" --latency 4
       --verify --model TPX-80)
expect_status 0 "the fleet run failed" "$TOOL" "${FLEET[@]}" --firmware-revision 2.0.0 --firmware-revision 2:2.1.0

# The same command again: every module now says 2.1.0, so nothing is sent.
# (A simulated world lasts one run: its modules start as the run above
# left them, as a real fleet would be found.)
echo
echo "quillon-demo: the same command again"
expect_status 20 "the rerun sent something or failed" "$TOOL" "${FLEET[@]}" --firmware-revision 2.1.0
echo "quillon-demo: nothing to do, exit status 20"

# Someone else's build of the image: signed, but not by the vendor's key.
echo
echo "quillon-demo: the same image signed by another key"
minisign -G -W -p "$WORK/other.pub" -s "$WORK/other.key" >/dev/null
minisign -S -s "$WORK/other.key" -m "$IMAGE" -x "$WORK/other.minisig" >/dev/null
expect_status 12 "an image signed by another key was not refused" \
  "$TOOL" "$IMAGE" --trusted-key "$WORK/vendor.pub" --signature "$WORK/other.minisig"
echo "quillon-demo: refused with exit status 12, before any module was looked for"
