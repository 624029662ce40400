# velt_native_test(name SOURCES ... LIBS ...): a GoogleTest program of the host tree.
# velt_win_test(name SOURCES ... LIBS ...): a GoogleTest program of the Windows tree; CTest runs
# it through CMAKE_CROSSCOMPILING_EMULATOR (tests/wine-run.sh), in the run's one Wine prefix.
function(velt_native_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS native)
endfunction()

function(velt_win_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS wine TIMEOUT 300)
endfunction()
