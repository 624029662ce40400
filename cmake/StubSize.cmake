# Size of the stub against its budget. Run with -DSTUB=<exe> -DLIMIT=<bytes>; prints the size,
# and with -DCHECK=ON fails when the stub is larger than the budget. The stub is linked stripped
# and unsigned, so its file size is the figure the budget is about.
if(NOT EXISTS "${STUB}")
  message(FATAL_ERROR "stub not built: ${STUB}")
endif()
file(SIZE "${STUB}" _size)
math(EXPR _left "${LIMIT} - ${_size}")
get_filename_component(_name "${STUB}" NAME)
message(STATUS "${_name}: ${_size} bytes (budget ${LIMIT}, ${_left} left)")
if(CHECK AND _size GREATER LIMIT)
  message(FATAL_ERROR "${_name} is ${_size} bytes, over its budget of ${LIMIT} bytes")
endif()
