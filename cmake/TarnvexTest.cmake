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
  gtest_discover_tests(${name}
    PROPERTIES LABELS "${T_LABELS}"
               ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8;TARNVEX_BIN_DIR=${CMAKE_BINARY_DIR}/bin;TARNVEX_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
    DISCOVERY_TIMEOUT 60)
endfunction()
