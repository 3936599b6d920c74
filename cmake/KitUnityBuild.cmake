# KIT_UNITY_BUILD: our libraries, programs and test programs are compiled
# from a few combined sources each (CMake's unity builds) instead of one
# object per source file. Most of a file's compile time goes to parsing the
# same standard, sdbus-c++ and GoogleTest headers and instantiating the same
# templates again; combined, a clean build costs far less CPU time. The
# native, asan, tsan, fuzz and package presets turn it on; an edit-compile loop
# on one file is quicker with it off.
#
# Sources are written to compile together: helpers at file scope go in an
# anonymous namespace with names that do not clash within the target.
option(KIT_UNITY_BUILD "Compile each library and program from combined sources" OFF)

# Files per combined source. A test file is mostly GoogleTest templates, so
# tests combine more; a library's batches stay small enough that both cores
# have work while a library that everything else waits for is built.
set(KIT_UNITY_TEST_BATCH 16)
set(KIT_UNITY_CODE_BATCH 8)

# Every library and program of ours with more than one source, below DIR.
function(kit_unity_build dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    get_target_property(sources ${target} SOURCES)
    list(LENGTH sources count)
    if(NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY)$" OR count LESS 2)
      continue()
    endif()
    # An app links from a static library only the objects it needs: the
    # archives the -dev package ships keep one object per source, so that an
    # app using a part of the library does not carry the rest.
    get_target_property(shipped ${target} KIT_SHIPPED_ARCHIVE)
    if(shipped AND QUILLON_DEB_PACKAGES)
      continue()
    endif()
    get_target_property(source_dir ${target} SOURCE_DIR)
    if(source_dir MATCHES "/tests(/|$)")
      set(batch ${KIT_UNITY_TEST_BATCH})
    else()
      set(batch ${KIT_UNITY_CODE_BATCH})
    endif()
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${batch})
    # GCC warns when a class in a header holds a type from an anonymous
    # namespace, as it would be a different type in every file including
    # that header. A combined source includes the .cpp files themselves, so
    # a class a .cpp file defines around its own anonymous helpers looks to
    # GCC like such a header: a false alarm, since each .cpp file is still
    # compiled into one object only.
    target_compile_options(${target} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-Wno-subobject-linkage>)
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir ${subdirs})
    kit_unity_build(${subdir})
  endforeach()
endfunction()
