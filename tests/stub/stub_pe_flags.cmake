# Fails unless the stub STUB is marked to run from the page file when it is
# started from a removable medium or the network (its COFF header's
# characteristics hold 0x0400 and 0x0800).
file(READ "${STUB}" e_lfanew OFFSET 60 LIMIT 4 HEX)
string(REGEX REPLACE "(..)(..)(..)(..)" "0x\\4\\3\\2\\1" e_lfanew "${e_lfanew}")
math(EXPR at "${e_lfanew} + 22")
file(READ "${STUB}" flags OFFSET ${at} LIMIT 2 HEX)
string(REGEX REPLACE "(..)(..)" "0x\\2\\1" flags "${flags}")
math(EXPR swap "${flags} & 0x0C00")
message(STATUS "qtksfx.exe: characteristics ${flags}")
if(NOT swap EQUAL 3072)
  message(FATAL_ERROR "qtksfx.exe does not run from swap (characteristics ${flags})")
endif()
