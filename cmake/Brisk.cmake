# Shared build rules for our own targets.

# BRISK_EXCLUDE: folders (relative to the source root) left out of the build, for work in progress.
set(BRISK_EXCLUDE "" CACHE STRING "Folders to leave out of the build")

# Adds each listed sub-folder. A named folder that is missing is an error unless excluded.
function(brisk_add_folders)
  foreach(dir ${ARGN})
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/${dir})
    if(rel IN_LIST BRISK_EXCLUDE)
      continue()
    endif()
    if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      message(FATAL_ERROR "${rel} is named in the build but has no CMakeLists.txt "
                          "(add it to BRISK_EXCLUDE to leave it out)")
    endif()
    add_subdirectory(${dir})
  endforeach()
endfunction()

# A target sees a header as "<folder>/<name>.h" only for the folders it declares: its own and
# those of the libraries it links. Each folder is offered through a link in a staging folder of
# the target's own, so the repository root is never on anybody's include path.
function(brisk_offer_folder target scope)
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(stage ${PROJECT_BINARY_DIR}/include/${target})
  get_filename_component(parent ${stage}/${rel} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  if(NOT EXISTS ${stage}/${rel})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${stage}/${rel} SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} ${stage})
endfunction()

function(brisk_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
  if(BRISK_SANITIZE)
    # The sanitizers' instrumentation makes GCC report uninitialised values inside the
    # standard library that are not there; the normal build keeps the warning.
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
endfunction()

# brisk_library(name [SHARED] SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
function(brisk_library name)
  cmake_parse_arguments(ARG "SHARED" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  if(ARG_SHARED)
    add_library(${name} SHARED ${ARG_SOURCES})
  else()
    add_library(${name} STATIC ${ARG_SOURCES})
  endif()
  brisk_offer_folder(${name} PUBLIC)
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
  brisk_warnings(${name})
endfunction()

# BRISK_TEST_LEAVE_OUT: labels of the tests this build can not run (a build whose tests run under
# an emulator: "umockdev" and "spawns", a test that starts a program of ours). Such a test is
# still defined, so that what refers to it stays valid, but is neither built nor registered.
set(BRISK_TEST_LEAVE_OUT "" CACHE STRING "Labels of the tests left out of this build")
# The emulated-device tests are left out: their folders still declare them (so that the list of
# what is left out is whole) though the emulated bus's libraries are not built.
if("umockdev" IN_LIST BRISK_TEST_LEAVE_OUT)
  set(BRISK_UMOCKDEV_LEFT_OUT ON)
else()
  set(BRISK_UMOCKDEV_LEFT_OUT OFF)
endif()

# test-programs builds what ctest runs and nothing else (the product's programs only where a
# test runs them).
function(brisk_add_test_program target)
  if(NOT TARGET test-programs)
    add_custom_target(test-programs)
  endif()
  add_dependencies(test-programs ${target})
endfunction()

# brisk_test(name SOURCES ... [LIBS ...] [LABELS ...] [ENV NAME=VALUE ...] [UMOCKDEV])
# UMOCKDEV runs each test case under the umockdev preload (ASan's or TSan's runtime first when
# sanitized) and labels it "threaded" as well.
function(brisk_test name)
  cmake_parse_arguments(ARG "UMOCKDEV" "" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  set(labels ${ARG_LABELS})
  if(ARG_UMOCKDEV)
    list(APPEND labels umockdev)
  endif()
  foreach(label ${labels})
    if(label IN_LIST BRISK_TEST_LEAVE_OUT)
      add_executable(${name} EXCLUDE_FROM_ALL ${ARG_SOURCES})
      set_target_properties(${name} PROPERTIES AUTOMOC OFF)
      set_property(GLOBAL APPEND PROPERTY BRISK_LEFT_OUT_TESTS ${name})
      set_property(GLOBAL APPEND PROPERTY BRISK_LEFT_OUT_${label} ${name})
      return()
    endif()
  endforeach()
  add_executable(${name} ${ARG_SOURCES})
  brisk_add_test_program(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  brisk_offer_folder(${name} PRIVATE)
  brisk_warnings(${name})
  set(env "BRISK_TEST_BINARY_DIR=${PROJECT_BINARY_DIR}" ${ARG_ENV})
  if(ARG_UMOCKDEV)
    set(preload "libumockdev-preload.so.0")
    if(BRISK_SANITIZE STREQUAL "address")
      execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                      OUTPUT_VARIABLE asan OUTPUT_STRIP_TRAILING_WHITESPACE)
      set(preload "${asan}:${preload}")
    elseif(BRISK_SANITIZE STREQUAL "thread")
      execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libtsan.so
                      OUTPUT_VARIABLE tsan OUTPUT_STRIP_TRAILING_WHITESPACE)
      set(preload "${tsan}:${preload}")
    endif()
    list(APPEND env "LD_PRELOAD=${preload}")
    # The emulated-device tests are threaded too (the testbed has a thread of its own), so they
    # also run under ThreadSanitizer.
    list(APPEND ARG_LABELS umockdev threaded)
  endif()
  if(BRISK_SANITIZE STREQUAL "thread")
    # What is reported inside glib and umockdev (not built with the sanitizer) is theirs.
    list(APPEND env
      "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=${PROJECT_SOURCE_DIR}/cmake/tsan.supp")
  endif()
  if("threaded" IN_LIST ARG_LABELS)
    set_property(GLOBAL APPEND PROPERTY BRISK_THREADED_TESTS ${name})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30)
  # Test discovery flattens list-valued properties, so the environment and the labels are
  # set by a script that CTest runs after the discovered tests are known.
  set(props_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_props.cmake)
  file(WRITE ${props_file}
    "foreach(t IN LISTS ${name}_TESTS)\n"
    "  set_tests_properties(\"\${t}\" PROPERTIES TIMEOUT 120 ENVIRONMENT \"${env}\" LABELS \"${ARG_LABELS}\")\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${props_file})
endfunction()

# Says which tests this build leaves out, by label (BRISK_TEST_LEAVE_OUT), and writes the same
# list to left-out-tests.txt in the build folder.
function(brisk_report_left_out_tests)
  set(text "")
  foreach(label ${BRISK_TEST_LEAVE_OUT})
    get_property(tests GLOBAL PROPERTY BRISK_LEFT_OUT_${label})
    list(JOIN tests " " names)
    string(APPEND text "${label}: ${names}\n")
  endforeach()
  if(text)
    message(STATUS "Tests left out of this build, by label:\n${text}")
  endif()
  file(WRITE ${PROJECT_BINARY_DIR}/left-out-tests.txt "${text}")
endfunction()
