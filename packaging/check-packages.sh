#!/usr/bin/env bash
# Checks the Debian packages that ./kit package made, without installing
# them: lintian finds no error and no warning that is not overridden with a
# reason, each package holds exactly the files listed here with the
# dependencies it should, and what it holds works when unpacked: the tool
# runs, its manual page has every section and agrees with its --help, bash
# completes its options, and find_package(QuillonLib COMPONENTS sim bluez)
# and pkg-config find the library.
#
# Usage: packaging/check-packages.sh [PACKAGES_DIR]   (default: build/packages)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DIR=$(cd "${1:-$ROOT/build/packages}" && pwd)
WORK=$(mktemp -d "${TMPDIR:-/tmp}/quillon-packages-XXXXXX")
trap 'rm -rf "$WORK"' EXIT

VERSION=$(sed -n 's/^project([^ ]* VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
ARCH=$(dpkg --print-architecture)
MULTIARCH=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
PASS=0 FAIL=0
ok() { PASS=$((PASS + 1)); printf '[package] ok: %s\n' "$*"; }
bad() { FAIL=$((FAIL + 1)); printf '[package] FAILED: %s\n' "$*"; }
check() { # description command...
  local what=$1; shift
  if "$@"; then ok "$what"; else bad "$what"; fi
}

deb() { echo "$DIR/${1}_${VERSION}_${ARCH}.deb"; }
field() { dpkg-deb -f "$(deb "$1")" "$2"; }
# The package's files (not folders), one path a line, sorted.
files_of() { dpkg-deb -c "$(deb "$1")" | awk '$1 !~ /^d/ {sub(/^\.\//, "", $6); print "/" $6}' | sort; }
same_lines() { # expected actual what
  if [[ "$1" == "$2" ]]; then return 0; fi
  diff <(echo "$1") <(echo "$2") | sed 's/^/    /'
  return 1
}
# The package names in a Depends field, versions and alternatives' extra
# names left out.
dep_names() { tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/ //g' | grep -v '^$' | sort; }

for p in quillon-ota quillon-module libquillon-dev; do
  check "$p: $(basename "$(deb "$p")") exists, version $VERSION from the project" test -f "$(deb "$p")"
done
[[ $FAIL == 0 ]] || { echo "$PASS passed, $FAIL failed"; exit 1; }

# lintian: --fail-on makes a warning fail the check as an error does;
# overridden tags (with their reasons in packaging/debian) do not count.
if lintian --fail-on error,warning --tag-display-limit 0 "$DIR"/*.deb >"$WORK/lintian.txt" 2>&1; then
  ok "lintian: no errors or warnings"
else
  bad "lintian:"; sed 's/^/    /' "$WORK/lintian.txt"
fi

# --- the files in each package
doc() { printf '/usr/share/doc/%s/changelog.gz\n/usr/share/doc/%s/copyright\n' "$1" "$1"; }
tool_files() {
  { printf '/usr/bin/%s\n/usr/share/bash-completion/completions/%s\n/usr/share/man/man1/%s.1.gz\n' "$1" "$1" "$1"
    doc "$1"
    [[ ! -f $ROOT/packaging/debian/$1.lintian-overrides ]] || echo "/usr/share/lintian/overrides/$1"; } | sort
}
for tool in quillon-ota quillon-module; do
  check "$tool: holds exactly its program, manual page, completion, copyright and changelog" \
    same_lines "$(tool_files "$tool")" "$(files_of "$tool")"
done
expected_dev=$(
  { (cd "$ROOT/ble/include" && find quillon -type f | sed 's|^|/usr/include/|')
    for lib in quillon quillon_module quillon_sim quillon_bluez; do echo "/usr/lib/$MULTIARCH/lib$lib.a"; done
    for f in QuillonLibConfig.cmake QuillonLibConfigVersion.cmake QuillonLibTargets.cmake QuillonLibTargets-release.cmake \
             QuillonLibBluezTargets.cmake QuillonLibBluezTargets-release.cmake; do
      echo "/usr/lib/$MULTIARCH/cmake/QuillonLib/$f"
    done
    echo "/usr/lib/$MULTIARCH/pkgconfig/quillon.pc"; echo "/usr/lib/$MULTIARCH/pkgconfig/quillon-bluez.pc"
    (cd "$ROOT/examples" && find host-app -type f | sed 's|^|/usr/share/doc/libquillon-dev/examples/|')
    doc libquillon-dev
    [[ ! -f $ROOT/packaging/debian/libquillon-dev.lintian-overrides ]] || echo /usr/share/lintian/overrides/libquillon-dev
  } | sort)
check "libquillon-dev: holds exactly the headers, static libraries, CMake package, pkg-config files and example app" \
  same_lines "$expected_dev" "$(files_of libquillon-dev)"

# --- dependencies: the tools' computed from their binaries (so libc6 and
# the libraries they link are named with versions), the -dev package's the
# -dev packages its static libraries need to link.
check "quillon-ota: depends on the shared libraries it links, each with a version" \
  same_lines "$(printf '%s\n' libc6 libcurl4 libgcc-s1 libsdbus-c++1 libssl3 libstdc++6)" "$(field quillon-ota Depends | dep_names)"
check "quillon-ota: every dependency has a minimum version (dpkg-shlibdeps)" \
  bash -c '! dpkg-deb -f "$1" Depends | tr "," "\n" | grep -v "(>= "' _ "$(deb quillon-ota)"
check "quillon-module: depends on the shared libraries it links" \
  same_lines "$(printf '%s\n' libc6 libgcc-s1 libsdbus-c++1 libstdc++6)" "$(field quillon-module Depends | dep_names)"
check "libquillon-dev: depends on the -dev packages its libraries link with" \
  same_lines "$(printf '%s\n' libcurl4-openssl-dev libsdbus-c++-dev libssl-dev pkg-config | sort)" \
  "$(field libquillon-dev Depends | dep_names)"
for p in quillon-ota quillon-module libquillon-dev; do
  check "$p: a summary line and a long description" \
    bash -c '[[ $(dpkg-deb -f "$1" Description | wc -l) -ge 3 ]]' _ "$(deb "$p")"
done

# --- unpacked: what a user gets
for p in quillon-ota quillon-module libquillon-dev; do dpkg-deb -x "$(deb "$p")" "$WORK/root"; done
R=$WORK/root
stripped() { ! readelf -S "$1" | grep -qE '\.(symtab|debug_info)'; }
check "quillon-ota and quillon-module are stripped" bash -c "$(declare -f stripped); stripped $R/usr/bin/quillon-ota && stripped $R/usr/bin/quillon-module"
check "quillon-ota --version says $VERSION" bash -c '[[ $("$1" --version) == "quillon-ota $2" ]]' _ "$R/usr/bin/quillon-ota" "$VERSION"
export XDG_CONFIG_HOME=$WORK/config XDG_CACHE_HOME=$WORK/cache
check "the packaged quillon-ota --list finds the simulated modules" \
  bash -c '"$1" --list --modules 2 --scan-timeout 0.3 | grep -c "Printer BLE 0[12]" | grep -qx 2' _ "$R/usr/bin/quillon-ota"

# The manual pages: every section, rendered without a warning, and every
# option and exit status of the packaged program's own --help on the page.
for tool in quillon-ota quillon-module; do
  page=$R/usr/share/man/man1/$tool.1.gz
  MANWIDTH=80 man --warnings -E UTF-8 -l "$page" >"$WORK/$tool.txt" 2>"$WORK/$tool.warnings" || true
  check "$tool(1) renders without warnings" same_lines "" "$(cat "$WORK/$tool.warnings")"
  sections=$(grep -E '^[A-Z][A-Z ]+$' "$WORK/$tool.txt" | tr '\n' ',')
  # quillon-ota's page also tells how firmware is signed and checked.
  signed=""
  [[ $tool != quillon-ota ]] || signed="SIGNED FIRMWARE,"
  check "$tool(1) has its sections in order" same_lines \
    "NAME,SYNOPSIS,DESCRIPTION,OPTIONS,EXIT STATUS,${signed}ENVIRONMENT,FILES,EXAMPLES,SEE ALSO," "$sections"
  "$R/usr/bin/$tool" --help >"$WORK/$tool.help"
  missing=$(grep -oE '(^|[ ,])--?[a-z][a-z0-9-]*' "$WORK/$tool.help" | sed 's/^[ ,]//' | sort -u |
            while read -r opt; do grep -qF -- "$opt" "$WORK/$tool.txt" || echo "$opt"; done)
  check "$tool(1) names every option of its --help" same_lines "" "$missing"
  statuses=$(sed -n '/^Exit status:/,$p' "$WORK/$tool.help" | grep -oE '^  [0-9]+' | tr -d ' ')
  # The page's own list: the tags of the EXIT STATUS section's items, each
  # of which must be a status alone (a merged or broken item shows here).
  page_statuses=$(zcat "$page" | sed -n '/^\.SH "EXIT STATUS"/,/^\.SH /p' | grep -A1 '^\.TP' | grep -vE '^(\.TP|--)$')
  check "$tool(1) gives every exit status of its --help" same_lines "$statuses" "$page_statuses"
done
for var in QUILLON_BLE_BACKEND XDG_CONFIG_HOME XDG_CACHE_HOME QUILLON_TRUSTED_KEYS_DIR; do
  check "quillon-ota(1) explains $var" bash -c 'sed -n "/^ENVIRONMENT/,/^FILES/p" "$1" | grep -q "$2"' _ "$WORK/quillon-ota.txt" "$var"
done

# bash completion, as bash-completion loads it: the options it offers are
# those of --help, and values are completed.
complete_words() { # tool words... (the last one is being completed)
  local tool=$1; shift
  bash --norc --noprofile -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    fn=$(complete -p "$1" | sed "s/.*-F \([^ ]*\).*/\1/")
    "$fn" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}" | sort' _ "$R/usr/share/bash-completion/completions/$tool" "$tool" "$@"
}
for tool in quillon-ota quillon-module; do
  help_options=$(grep -oE '^ +(-[a-z], )?--[a-z][a-z0-9-]*' "$WORK/$tool.help" | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u)
  check "$tool completion offers exactly the options of --help" same_lines "$help_options" "$(complete_words "$tool" --)"
done
check "quillon-ota completes backends" same_lines "$(printf 'bluez\nsim')" "$(complete_words quillon-ota --backend '')"
check "quillon-ota completes fault names, also after WHICH:" same_lines \
  "$(printf '2:corrupt-ack\n2:corrupt-ack=\n2:corrupt-end')" "$(complete_words quillon-ota --fault 2:corr)"
mkdir -p "$WORK/images" && touch "$WORK/images/fw-1.bin" "$WORK/images/fw-2.bin"
check "quillon-ota completes IMAGE with files" same_lines \
  "$(printf '%s\n' "$WORK/images/fw-1.bin" "$WORK/images/fw-2.bin")" "$(complete_words quillon-ota --verify "$WORK/images/fw")"

# The -dev package taken up from the unpacked tree: the CMake package with
# both components, and pkg-config.
mkdir -p "$WORK/app"
cat >"$WORK/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(Probe LANGUAGES CXX)
find_package(QuillonLib REQUIRED COMPONENTS sim bluez)
foreach(t quillon quillon_module quillon_sim quillon_bluez)
  if(NOT TARGET QuillonLib::${t})
    message(FATAL_ERROR "no QuillonLib::${t}")
  endif()
endforeach()
get_target_property(inc QuillonLib::quillon INTERFACE_INCLUDE_DIRECTORIES)
message(STATUS "include=${inc}")
CMAKE
check "find_package(QuillonLib COMPONENTS sim bluez) finds every target in the unpacked package" \
  bash -c 'cmake -S "$1/app" -B "$1/app/build" -DCMAKE_PREFIX_PATH="$2/usr" >"$1/app.log" 2>&1 &&
           grep -q "include=$2/usr/include" "$1/app.log"' _ "$WORK" "$R"
check "pkg-config quillon names the unpacked libraries" bash -c \
  '[[ $(PKG_CONFIG_PATH="$1/usr/lib/$2/pkgconfig" pkg-config --define-prefix --libs-only-l quillon) == *"-lquillon_sim -lquillon_module -lquillon"* ]]' \
  _ "$R" "$MULTIARCH"

for p in quillon-ota quillon-module libquillon-dev; do
  printf '[package] %s: Installed-Size %s KiB; Depends: %s\n' "$p" "$(field "$p" Installed-Size)" "$(field "$p" Depends)"
done
echo "package: $PASS passed, $FAIL failed"
((FAIL == 0))
