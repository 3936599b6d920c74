# Installs QuillonLib as a package a host app can take up from outside:
# the static libraries, the public headers, a CMake package
# (find_package(QuillonLib) with imported targets QuillonLib::quillon,
# QuillonLib::quillon_module and QuillonLib::quillon_sim, and
# QuillonLib::quillon_bluez where sdbus-c++ is found) and pkg-config files
# (quillon, quillon-bluez).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# What is installed here is the -dev package's (cmake/QuillonDebianPackages.cmake).
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME libquillon-dev)

# Marked for the unity build (cmake/KitUnityBuild.cmake): in the packages,
# these archives keep one object per source.
set_property(TARGET quillon quillon_module quillon_sim quillon_bluez PROPERTY KIT_SHIPPED_ARCHIVE ON)

install(TARGETS quillon quillon_module quillon_sim EXPORT QuillonLibTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/ble/include/quillon
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT QuillonLibTargets NAMESPACE QuillonLib::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QuillonLib)
# The BlueZ backend in its own export set: the package's config loads it
# only when sdbus-c++ is found, so hosts without D-Bus keep the rest.
install(TARGETS quillon_bluez EXPORT QuillonLibBluezTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT QuillonLibBluezTargets NAMESPACE QuillonLib::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QuillonLib)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QuillonLibConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/QuillonLibConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QuillonLib)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/QuillonLibConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/QuillonLibConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/QuillonLibConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QuillonLib)

# The way from the .pc file's folder back up to the prefix ("../.." for lib/pkgconfig).
file(RELATIVE_PATH QUILLON_PC_PREFIX_FROM_PCFILEDIR "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" QUILLON_PC_PREFIX_FROM_PCFILEDIR "${QUILLON_PC_PREFIX_FROM_PCFILEDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/quillon.pc.in
               ${CMAKE_CURRENT_BINARY_DIR}/quillon.pc @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/quillon-bluez.pc.in
               ${CMAKE_CURRENT_BINARY_DIR}/quillon-bluez.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quillon.pc ${CMAKE_CURRENT_BINARY_DIR}/quillon-bluez.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
