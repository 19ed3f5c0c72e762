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

# qd_add_e2e_test(<name> SOURCES <files...> [LIBS <libs...>] [PROGRAMS <targets...>])
# A test that runs qdhost and programs as child processes (tests/fixture: qdtest/host_process.h).
# Every program target P named is built before the test and its path is the macro
# QD_PROGRAM_<P> (upper case, '-' as '_'): PROGRAMS kvstty gives QD_PROGRAM_KVSTTY.
function(qd_add_e2e_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;PROGRAMS" ${ARGN})
  qd_add_test(${name} SOURCES ${ARG_SOURCES} LIBS qdhostfixture ${ARG_LIBS})
  add_dependencies(${name} qdhost)
  foreach(program ${ARG_PROGRAMS})
    string(TOUPPER ${program} macro)
    string(REPLACE "-" "_" macro ${macro})
    target_compile_definitions(${name} PRIVATE QD_PROGRAM_${macro}="$<TARGET_FILE:${program}>")
    add_dependencies(${name} ${program})
  endforeach()
endfunction()
