# Helpers for the project's tests.

# qtk_add_gtest(TARGET): registers a GoogleTest program with CTest. Natively
# every test case is its own CTest entry; a Windows build runs the whole
# program once under Wine (one Wine start per program, not per case).
function(qtk_add_gtest target)
  if(QTK_WIN32)
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES TIMEOUT 600)
  else()
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 300)
  endif()
endfunction()

# qtk_fuzz_target(NAME SOURCE LIBS...): SOURCE defines LLVMFuzzerTestOneInput.
# In the fuzz build (QTK_FUZZ) it becomes the libFuzzer program NAME_fuzz,
# part of the target `fuzzers` (scripts/fuzz.sh runs a campaign).
# In the native and sanitizer builds it becomes NAME_replay, which CTest runs
# over the committed seed corpus tests/fuzz/corpus/NAME.
function(qtk_fuzz_target name source)
  set(corpus ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${name})
  if(QTK_FUZZ)
    add_executable(${name}_fuzz ${source})
    target_link_options(${name}_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${name}_fuzz PRIVATE ${ARGN})
    add_dependencies(fuzzers ${name}_fuzz)
  elseif(NOT QTK_WIN32)
    add_executable(${name}_replay ${source} ${CMAKE_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
    target_link_libraries(${name}_replay PRIVATE ${ARGN})
    add_test(NAME fuzz_replay.${name} COMMAND ${name}_replay ${corpus})
  endif()
endfunction()
