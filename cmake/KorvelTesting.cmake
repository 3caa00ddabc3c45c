# korvel_add_test(<target> SOURCES <files...> LIBRARIES <libs...> [LONG] [TIMEOUT <seconds>])
# Builds one GoogleTest executable and registers each of its tests with CTest.
# LONG tests carry the label "long", so a quick run can leave them out with -LE long.
function(korvel_add_test target)
  cmake_parse_arguments(ARG "LONG" "TIMEOUT" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBRARIES} korvel_test_support)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set(labels unit)
  if(ARG_LONG)
    set(labels long)
  endif()
  gtest_discover_tests(${target}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${labels}" TIMEOUT ${ARG_TIMEOUT})
endfunction()
