# tarnvex_test(NAME SOURCES a.cpp b.cpp LIBS lib... [LABELS label...])
# One GoogleTest executable per call; every test case becomes a ctest test.
# Tests labelled "threads" also run in the ThreadSanitizer build.
function(tarnvex_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main
                        Threads::Threads)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                        ${CMAKE_BINARY_DIR}/tests)
  include(GoogleTest)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
  # Labels and environment are lists, which gtest_discover_tests' PROPERTIES
  # flattens (a second label would be read as a property name). They are set
  # instead by a file that ctest reads after the discovered tests, from the
  # list of their names that discovery leaves in ${name}_TESTS.
  set(env "LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp;QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8;TARNVEX_BIN_DIR=${CMAKE_BINARY_DIR}/bin;TARNVEX_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  set(props_file "${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake")
  file(WRITE "${props_file}"
       "if(${name}_TESTS)\n"
       "  set_tests_properties(\${${name}_TESTS} PROPERTIES\n"
       "    LABELS \"${T_LABELS}\"\n"
       "    ENVIRONMENT \"${env}\")\n"
       "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${props_file}")
endfunction()
