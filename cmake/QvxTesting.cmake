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

# qvx_add_gtest(<name> SOURCES ... LIBS ...): one test executable, one CTest
# entry. Cross builds run it through CMAKE_CROSSCOMPILING_EMULATOR (Wine).
function(qvx_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  qvx_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
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
