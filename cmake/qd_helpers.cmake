# qd_add_test(<name> SOURCES <files...> LIBS <libs...>)
# One GoogleTest binary registered with CTest; tests are discovered at run time so that
# the suite names show in ctest output. Each test carries its binary's name as a label
# (ctest -L kernel_tests).
function(qd_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 300 LABELS ${name})
endfunction()
