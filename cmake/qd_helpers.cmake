# qd_add_test(<name> SOURCES <files...> LIBS <libs...> [LONG <gtest filter> <seconds>]...)
# One GoogleTest binary registered with CTest; tests are discovered at run time so that
# the suite names show in ctest output. Each test carries its binary's name as a label
# (ctest -L kernel_tests).
#
# Time limits: a test's limit is the test presets' default (60 s, so that a hang shows within
# a minute; `ctest --timeout N` changes it). Tests that need longer, measured in the asan
# preset, are named with LONG: a GoogleTest filter (Suite.Test, Suite.*, A.x:B.y) and the
# seconds they get instead, which no --timeout changes.
function(qd_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LONG" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set(long_filters "")
  while(ARG_LONG)
    list(POP_FRONT ARG_LONG filter seconds)
    if(NOT seconds MATCHES "^[0-9]+$")
      message(FATAL_ERROR "qd_add_test(${name}): LONG ${filter} wants a number of seconds")
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         TEST_FILTER ${filter} PROPERTIES TIMEOUT ${seconds} LABELS ${name})
    list(APPEND long_filters ${filter})
  endwhile()
  set(rest "*")
  if(long_filters)
    list(JOIN long_filters ":" joined)
    set(rest "-${joined}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 TEST_FILTER ${rest}
                       PROPERTIES LABELS ${name})
endfunction()

# qd_add_e2e_test(<name> SOURCES <files...> [LIBS <libs...>] [PROGRAMS <targets...>]
#                 [LONG <gtest filter> <seconds>]...)
# A test that runs qdhost and programs as child processes (tests/fixture: qdtest/host_process.h).
# Every program target P named is built before the test and its path is the macro
# QD_PROGRAM_<P> (upper case, '-' as '_'): PROGRAMS kvstty gives QD_PROGRAM_KVSTTY.
function(qd_add_e2e_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;PROGRAMS;LONG" ${ARGN})
  qd_add_test(${name} SOURCES ${ARG_SOURCES} LIBS qdhostfixture ${ARG_LIBS} LONG ${ARG_LONG})
  add_dependencies(${name} qdhost)
  foreach(program ${ARG_PROGRAMS})
    string(TOUPPER ${program} macro)
    string(REPLACE "-" "_" macro ${macro})
    target_compile_definitions(${name} PRIVATE QD_PROGRAM_${macro}="$<TARGET_FILE:${program}>")
    add_dependencies(${name} ${program})
  endforeach()
endfunction()
