#!/usr/bin/env bash
# Takes QuillonLib up the way an app project outside this repository would:
# installs it from a build into a temporary prefix, builds and runs the
# example host app (examples/host-app) against that prefix with
# find_package(QuillonLib), and compiles, links and runs a one-file program
# with `pkg-config --cflags --libs quillon`.
#
# Usage: examples/build-against-install.sh [BUILD_DIR]   (default: build/native)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$ROOT/build/native}" && pwd)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/quillon-install-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
PREFIX=$WORK/prefix
# The example app and the program keep their user defaults and cache here.
export XDG_CONFIG_HOME=$WORK/config XDG_CACHE_HOME=$WORK/cache

say() { printf '[example] %s\n' "$*"; }

say "installing QuillonLib from $BUILD into a temporary prefix"
cmake --build "$BUILD" --target quillon quillon_sim -j2 >/dev/null
cmake --install "$BUILD" --prefix "$PREFIX" >/dev/null

say "building examples/host-app with find_package(QuillonLib)"
cmake -S "$ROOT/examples/host-app" -B "$WORK/host-app" -DCMAKE_PREFIX_PATH="$PREFIX" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$WORK/host-app" -j2 >/dev/null
say "running it"
"$WORK/host-app/quillon-host-app"

say "compiling a one-file program with pkg-config"
PC=$(dirname "$(find "$PREFIX" -name quillon.pc | head -n1)")
cat >"$WORK/names.cpp" <<'CPP'
#include <cstdio>
#include <cstring>
#include "quillon/manager/ble_manager.h"
#include "quillon/ota/ota_checksum.h"
#include "quillon/platform/log_sink.h"
#include "quillon/sim/default_platform.h"

int main() {
  quillon::sim::configureDefaultPlatform({.world = nullptr, .userDefaults = nullptr, .systemVersion = nullptr,
                                          .log = std::make_shared<quillon::NullLogSink>()});
  auto name = quillon::BLEManager::sharedInstance().getUuidDescription("FF10");
  const std::uint8_t end[] = {0xF3, 0x01, 0x00};
  std::printf("FF10 is \"%s\"; END checksum %02X\n", name.value_or("?").c_str(), quillon::calc_sum(end, 3));
  return name && quillon::calc_sum(end, 3) == 0xF4 ? 0 : 1;
}
CPP
# shellcheck disable=SC2046 # pkg-config's words are meant to split
c++ -o "$WORK/names" "$WORK/names.cpp" $(PKG_CONFIG_PATH=$PC pkg-config --cflags --libs quillon)
"$WORK/names"
say "ok"
