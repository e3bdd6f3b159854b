# `cmake --install` of the build into a scratch prefix: qtk runs from there
# and its manual page is there, which groff formats without a warning.
# (That the page describes every option is checked against the command
# line's table of options by qtk_tests: Pack.ManualDescribesEveryOption.)
#   cmake -DBUILD=dir -DMANUAL=qtk.1 -DOUT=dir -P install_check.cmake
file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${OUT} RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
set(qtk ${OUT}/bin/qtk)
if(NOT EXISTS ${OUT}/share/man/man1/qtk.1.gz)
  message(FATAL_ERROR "the manual page is not installed")
endif()
execute_process(COMMAND ${qtk} --version RESULT_VARIABLE rc OUTPUT_VARIABLE version)
if(NOT rc EQUAL 0 OR NOT version MATCHES "^qtk [0-9.]+\nstub: .* [0-9]+ bytes")
  message(FATAL_ERROR "the installed qtk --version gave ${rc}: ${version}")
endif()

foreach(cmd pack list test extract compress)
  execute_process(COMMAND ${qtk} ${cmd} --help OUTPUT_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "qtk ${cmd} --help failed")
  endif()
endforeach()

find_program(GROFF groff REQUIRED)
execute_process(COMMAND ${GROFF} -man -ww -z -Tutf8 ${MANUAL} ERROR_VARIABLE warnings RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff: ${warnings}")
endif()
