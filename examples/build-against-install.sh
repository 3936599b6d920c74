#!/usr/bin/env bash
# Takes QuillonLib up the way an app project outside this repository would:
# installs it from a build into a temporary prefix, builds and runs the
# example host app (examples/host-app) against that prefix with
# find_package(QuillonLib), and compiles, links and runs a one-file program
# with `pkg-config --cflags --libs quillon`; then links a one-file program
# with the BlueZ backend both ways (find_package(QuillonLib COMPONENTS bluez)
# and `pkg-config quillon-bluez`), and runs it (it does not touch any bus).
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
cmake --build "$BUILD" --target quillon quillon_sim quillon_bluez -j2 >/dev/null
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

say "linking a program with the BlueZ backend (find_package COMPONENTS bluez, pkg-config quillon-bluez)"
cat >"$WORK/bluez-id.cpp" <<'CPP'
#include <cstdio>
#include "quillon/bluez/bluez_backend.h"

int main() {
  const auto id = quillon::bluez::deviceIdentifier("00:11:22:33:44:55", "AA:BB:CC:DD:EE:01");
  std::printf("00:11:22:33:44:55/AA:BB:CC:DD:EE:01 is %s\n", id.UUIDString().c_str());
  return id == quillon::bluez::deviceIdentifier("00:11:22:33:44:55", "aa:bb:cc:dd:ee:01") ? 0 : 1;
}
CPP
mkdir -p "$WORK/bluez-app"
cat >"$WORK/bluez-app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(bluez_id CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(QuillonLib REQUIRED COMPONENTS bluez)
add_executable(bluez-id ../bluez-id.cpp)
target_link_libraries(bluez-id PRIVATE QuillonLib::quillon_bluez)
CMAKE
cmake -S "$WORK/bluez-app" -B "$WORK/bluez-app/build" -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null
cmake --build "$WORK/bluez-app/build" >/dev/null
"$WORK/bluez-app/build/bluez-id"
# shellcheck disable=SC2046
c++ -o "$WORK/bluez-id" "$WORK/bluez-id.cpp" $(PKG_CONFIG_PATH=$PC pkg-config --cflags --libs quillon-bluez)
"$WORK/bluez-id"
say "ok"
