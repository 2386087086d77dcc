# GoogleTest: the host build uses Debian's packaged libraries; the mingw-w64
# build compiles the sources Debian's googletest package installs under
# /usr/src/googletest with the cross compiler.
macro(qvx_find_gtest)
  if(CMAKE_CROSSCOMPILING)
    set(QVX_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "googletest sources for cross builds")
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(${QVX_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL SYSTEM)
    if(NOT TARGET GTest::gtest_main)
      add_library(GTest::gtest ALIAS gtest)
      add_library(GTest::gtest_main ALIAS gtest_main)
      add_library(GTest::gmock ALIAS gmock)
    endif()
  else()
    find_package(GTest REQUIRED)
  endif()
endmacro()

# qvx_add_gtest(<name> SOURCES ... LIBS ... [SKIPPABLE Suite.Test ...]): one
# test executable, one CTest entry. Cross builds run it through
# CMAKE_CROSSCOMPILING_EMULATOR (Wine). A test that skips where the system
# lacks what it needs is named under SKIPPABLE: it gets a CTest entry of its
# own that CTest reports as skipped when GoogleTest does, instead of hiding
# inside the executable's pass.
# Test code is most of what the build compiles, and its speed hardly matters:
# it is compiled without optimisation in every build type (at -O2 -g a test
# file takes about three times as long), while the code under test, in its
# own libraries, keeps the build type's flags. The last -O wins. Not with
# mingw-w64: its GCC 12 libstdc++ defines std::type_info::operator== out of
# line as well, and an unoptimised test object that emits its own copy of it
# collides with that one at the static link ("multiple definition").
function(qvx_unoptimised_test_code target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang" AND NOT MINGW)
    target_compile_options(${target} PRIVATE -O0)
  endif()
endfunction()

function(qvx_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS;SKIPPABLE" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  qvx_target_defaults(${name})
  qvx_unoptimised_test_code(${name})
  # Four test sources to a compile unit: GoogleTest's and GoogleMock's headers
  # cost more than most test files, and each unit parses them once. Test
  # files therefore keep their helpers in distinct names.
  set_target_properties(${name} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 4)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
  if(ARG_SKIPPABLE)
    list(JOIN ARG_SKIPPABLE ":" skippable)
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1 --gtest_filter=-${skippable})
    foreach(test IN LISTS ARG_SKIPPABLE)
      add_test(NAME ${name}.${test} COMMAND ${name} --gtest_filter=${test})
      set_tests_properties(${name}.${test} PROPERTIES TIMEOUT 300 SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
    endforeach()
  else()
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
    # Suites labelled "sanitize" are the threaded ones that the test script
    # also builds and runs under ThreadSanitizer and AddressSanitizer.
    if("sanitize" IN_LIST ARG_LABELS)
      set_property(GLOBAL APPEND PROPERTY QVX_SANITIZE_TARGETS ${name})
    endif()
  endif()
endfunction()

# The environment of the suites that run the helper binary as its parent does
# (tests/e2e, tests/x11). A sanitizer report must fail the test, so every
# sanitizer stops at its first report with status 66, which no mode of the
# helper exits with; the suites check every exit status and also look for
# reports on standard error (qvx.py). The ThreadSanitizer preset sets
# QVX_E2E_TIME_SCALE: its helper runs that many times slower, and the suites
# give its sessions and waits that much more time. AddressSanitizer keeps up
# with a release build once the pixel loops check rows rather than bytes
# (src/platform/host/checked_rows.h).
set(QVX_E2E_TIME_SCALE 1 CACHE STRING "How many times longer the end-to-end suites give this build's helper (a whole number)")
set(QVX_E2E_ENVIRONMENT
  "ASAN_OPTIONS=halt_on_error=1:exitcode=66:detect_leaks=1"
  "UBSAN_OPTIONS=halt_on_error=1:exitcode=66:print_stacktrace=1"
  "TSAN_OPTIONS=halt_on_error=1:exitcode=66"
  "QVX_E2E_TIME_SCALE=${QVX_E2E_TIME_SCALE}"
  "PYTHONDONTWRITEBYTECODE=1")
