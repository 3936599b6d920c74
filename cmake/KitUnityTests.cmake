# KIT_UNITY_TESTS: the test programs are compiled from a few combined
# sources each (CMake's unity builds) instead of one object per test file.
# Most of a test file's compile time goes to instantiating the same
# GoogleTest/GoogleMock templates again; combined, a clean build of the
# tests costs about half the CPU time. The native, asan and tsan presets turn
# it on; an edit-compile loop on one test file is quicker with it off.
#
# Test files are written to compile together: helpers at file scope go in
# an anonymous namespace with names that do not clash within the program.
option(KIT_UNITY_TESTS "Compile each test program from combined sources" OFF)

# Every executable defined under a folder called tests, below DIR.
function(kit_unity_test_programs dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    get_target_property(source_dir ${target} SOURCE_DIR)
    if(type STREQUAL "EXECUTABLE" AND source_dir MATCHES "/tests(/|$)")
      set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 16)
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir ${subdirs})
    kit_unity_test_programs(${subdir})
  endforeach()
endfunction()
