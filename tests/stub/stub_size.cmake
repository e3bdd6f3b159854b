# Fails when the stub file STUB is larger than LIMIT bytes; prints its size.
file(SIZE "${STUB}" size)
math(EXPR room "${LIMIT} - ${size}")
message(STATUS "qtksfx.exe: ${size} bytes (limit ${LIMIT}, ${room} to spare)")
if(size GREATER LIMIT)
  message(FATAL_ERROR "qtksfx.exe is ${size} bytes, over its limit of ${LIMIT}")
endif()
