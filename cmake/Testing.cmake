# Test helpers shared by all subsystems.
#
# tarvo_add_gtest(NAME SOURCES... LIBRARIES...)
#   A GoogleTest program registered as one CTest test; under win32 CTest runs it through Wine.
# tarvo_add_script_test(NAME SCRIPT ARGS...)
#   A bash script that drives the real programs. It receives, in its environment,
#   TARVO_RUNNER (the Wine wrapper on win32, empty on Linux), TARVO_PLATFORM (linux or win32),
#   TARVO_BIN (the directory of the deliverables) and TARVO_SOURCE_DIR. Exit status 77
#   (tests/lib.sh's skip) reports the test as Skipped.

function(tarvo_add_gtest name)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(T "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBRARIES} GTest::gtest GTest::gmock GTest::gtest_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
endfunction()

function(tarvo_add_script_test name script)
  if(NOT BUILD_TESTING)
    return()
  endif()
  add_test(NAME ${name} COMMAND bash ${script} ${ARGN})
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77 ENVIRONMENT
    "TARVO_RUNNER=${TARVO_RUNNER};TARVO_PLATFORM=${TARVO_PLATFORM};TARVO_BIN=${CMAKE_BINARY_DIR}/bin;TARVO_SOURCE_DIR=${PROJECT_SOURCE_DIR};TARVO_BUILD_DIR=${CMAKE_BINARY_DIR}")
endfunction()
