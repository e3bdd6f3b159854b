# Helpers for the project's tests.

# The Wine that runs a Windows build's programs (scripts/wine-run.sh): 32-bit
# Wine for the i686 build, wine64 for the x86_64 build.
if(QTK_WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(QTK_WINEARCH win32)
  else()
    set(QTK_WINEARCH win64)
  endif()
endif()

# qtk_wine_test(TEST...): tests that run under Wine through wine-run.sh. They
# get this build's Wine, and count as skipped where wine-run.sh ends with 77
# (a host that cannot run 32-bit programs).
function(qtk_wine_test)
  set_tests_properties(${ARGN} PROPERTIES ENVIRONMENT QTK_WINEARCH=${QTK_WINEARCH} SKIP_RETURN_CODE 77)
endfunction()

# qtk_add_gtest(TARGET): registers a GoogleTest program with CTest. Natively
# every test case is its own CTest entry; a Windows build runs the whole
# program once under Wine (one Wine start per program, not per case).
function(qtk_add_gtest target)
  if(QTK_WIN32)
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES TIMEOUT 600)
    qtk_wine_test(${target})
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
