# Debian packages of QuillonLib's tools and library, made by CPack's DEB
# generator from an install with components (./kit package drives it):
#   quillon-ota      the firmware-update tool, its manual page and completion
#   quillon-module   the Linux adapter as a printer's data module, likewise
#   libquillon-dev   static libraries, headers, the CMake package, the
#                    pkg-config files and the example host app
# The tools' run-time dependencies are read off the binaries
# (dpkg-shlibdeps); the -dev package names the -dev packages that its static
# libraries need at link time, which nothing can compute.
include(GNUInstallDirs)

set(QUILLON_DEB_SOURCE ${PROJECT_SOURCE_DIR}/packaging/debian)
set(QUILLON_DEB_PACKAGES quillon-ota quillon-module libquillon-dev)

# Manual pages written from each tool's --help at build time.
function(quillon_man_page tool include)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${tool}.1.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${tool}> -DINCLUDE=${include} -DOUT=${page}
            -P ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
    DEPENDS ${tool} ${include} ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
    COMMENT "Writing ${tool}(1) from its --help")
  add_custom_target(${tool}-man ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${tool})
endfunction()

quillon_man_page(quillon-ota ${PROJECT_SOURCE_DIR}/tools/quillon-ota/quillon-ota.h2m)
quillon_man_page(quillon-module ${PROJECT_SOURCE_DIR}/tools/quillon-module/quillon-module.h2m)

install(TARGETS quillon-ota RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT quillon-ota)
install(TARGETS quillon-module RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT quillon-module)
foreach(tool quillon-ota quillon-module)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/${tool}/bash-completion/${tool}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT ${tool})
endforeach()

# The example host app, as sources to read and build against the package.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/host-app
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libquillon-dev/examples COMPONENT libquillon-dev)

# Every package's copyright, changelog and lintian overrides.
configure_file(${QUILLON_DEB_SOURCE}/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog @ONLY)
execute_process(COMMAND gzip -9 -n -c ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog
                OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz)
foreach(package ${QUILLON_DEB_PACKAGES})
  install(FILES ${QUILLON_DEB_SOURCE}/copyright ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${package})
  if(EXISTS ${QUILLON_DEB_SOURCE}/${package}.lintian-overrides)
    install(FILES ${QUILLON_DEB_SOURCE}/${package}.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package} COMPONENT ${package})
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${QUILLON_DEB_PACKAGES})
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Spoolrig maintainers <maintainers@users.noreply.c-seed-7b8a5a41.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_QUILLON-OTA_PACKAGE_NAME quillon-ota)
set(CPACK_DEBIAN_QUILLON-OTA_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_QUILLON-OTA_PACKAGE_RECOMMENDS bluez)
set(CPACK_DEBIAN_QUILLON-OTA_PACKAGE_SUGGESTS quillon-module)
set(CPACK_COMPONENT_QUILLON-OTA_DESCRIPTION "firmware updater for printers' BLE data modules
quillon-ota sends a firmware image to a printer's BLE data module over the
module's OTA service: one module, or every module in range at once, from a
local file or an https:// URL, checked against a SHA-256 digest before
anything is sent. --list shows which modules are in range.
.
It reaches real modules through BlueZ (bluetoothd) on the system bus, and
can also run against QuillonLib's simulated modules to try out updates and
faults without a printer. Progress is a bar per module, or JSON events for
scripts; exit statuses say what went wrong.")

set(CPACK_DEBIAN_QUILLON-MODULE_PACKAGE_NAME quillon-module)
set(CPACK_DEBIAN_QUILLON-MODULE_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_QUILLON-MODULE_PACKAGE_RECOMMENDS bluez)
set(CPACK_COMPONENT_QUILLON-MODULE_DESCRIPTION "Linux Bluetooth adapter as a printer's BLE data module
quillon-module makes this machine's Bluetooth adapter, through BlueZ,
behave as a printer's BLE data module: it advertises the module's OTA and
data services and answers firmware updates as the module does, with
faults on request. Use it to test an app or quillon-ota over a real radio
without a printer.")

set(CPACK_DEBIAN_LIBQUILLON-DEV_PACKAGE_NAME libquillon-dev)
set(CPACK_DEBIAN_LIBQUILLON-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBQUILLON-DEV_PACKAGE_DEPENDS
    "libcurl4-openssl-dev | libcurl-dev, libssl-dev, libsdbus-c++-dev, pkg-config | pkgconf")
set(CPACK_DEBIAN_LIBQUILLON-DEV_PACKAGE_SUGGESTS "cmake")
set(CPACK_COMPONENT_LIBQUILLON-DEV_DESCRIPTION "QuillonLib, BLE library for printer apps (development files)
QuillonLib gives an app a printer's BLE data module: scanning,
connecting, the data service and firmware updates over the OTA service,
with a simulated BLE world for tests and a BlueZ backend for Linux.
.
This package has the static libraries, the headers, the CMake package
(find_package(QuillonLib COMPONENTS sim bluez)), the pkg-config files
quillon and quillon-bluez, and the example host app.")

include(CPack)
