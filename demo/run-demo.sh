#!/usr/bin/env bash
# The main job, run by `./kit demo` after the build:
#  1. QuillonLib: quillon-ota updates the simulated printer module's firmware
#     over the simulated BLE world, and the demo checks that the module holds
#     exactly the image;
#  2. Spoolrig: the real Spoolrig.exe under Wine, in a throwaway prefix,
#     installs "TPX-80" on "COM1:" at 9600 baud through its dialogs, and the
#     demo shows what the spooler and the registry then hold.
# Never touches ~/.wine or the user's own settings.
#   --interactive   click through Spoolrig's dialogs yourself (needs a DISPLAY)
set -euo pipefail
HERE=$(dirname "$0")
bold() { printf '\n\033[1m== %s ==\033[0m\n' "$*"; }

bold "QuillonLib: firmware update of the simulated BLE module with quillon-ota"
"$HERE/quillon-demo.sh"

bold "Spoolrig: printer driver installation under Wine"
"$HERE/spoolrig-demo.sh" "$@"
