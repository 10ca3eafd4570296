# GoogleTest from Debian's sources, built for the target.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
enable_testing()

# prismlux_add_test(<subsystem>.<name> SOURCES ... [LIBRARIES ...] [RESOURCE_LOCK ...])
# One test executable is one ctest test: a Wine process start is expensive, so each
# executable runs all of its cases in one process.
function(prismlux_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;RESOURCE_LOCK;DEPENDS" ${ARGN})
  string(REPLACE "." "_" target "test_${name}")
  # Every test program fails on a crash instead of leaving its exit code to Wine's debugger.
  add_executable(${target} ${ARG_SOURCES} ${PROJECT_SOURCE_DIR}/tests/common/ExitOnCrash.cpp)
  target_link_libraries(${target} PRIVATE GTest::gtest_main ${ARG_LIBRARIES})
  add_dependencies(${target} wineprefix ${ARG_DEPENDS})
  add_test(NAME ${name} COMMAND ${target} --gtest_brief=1 WORKING_DIRECTORY ${PRISMLUX_BIN_DIR})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
  if(ARG_RESOURCE_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
  endif()
endfunction()

# prismlux_add_alone_test(<name> <test> <suite>): the cases of GoogleTest suite <suite> in
# the executable of test <test>, run once more in a process of their own (they skip in the
# executable's ordinary run: tests/common/RunsAlone.h). The test's resource lock is kept.
function(prismlux_add_alone_test name test suite)
  string(REPLACE "." "_" target "test_${test}")
  add_test(NAME ${name} COMMAND ${target} --gtest_brief=1 --gtest_filter=${suite}.*
           WORKING_DIRECTORY ${PRISMLUX_BIN_DIR})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
  get_test_property(${test} RESOURCE_LOCK lock)
  if(lock)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${lock}")
  endif()
  get_test_property(${test} ENVIRONMENT environment)
  if(environment)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${environment}")
  endif()
endfunction()
