#!/usr/bin/env bash
# The main job, run by `./kit demo` after the build: Spoolrig.exe under Wine,
# in a throwaway prefix, installs a printer through its real dialogs, and the
# demo shows what the spooler and the registry then hold. Never touches
# ~/.wine. Arguments (--interactive) go to demo/spoolrig-demo.sh.
set -euo pipefail
exec "$(dirname "$0")/spoolrig-demo.sh" "$@"
