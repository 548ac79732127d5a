# The .onInit of the README's NSIS example is the tests' installer's, less the lines only the
# tests need: what the tests run is what the README shows.
#   cmake -DREADME=README.md -DSCRIPT=nsis_payload.nsi -P check_payload_example.cmake
file(READ ${README} readme)
file(READ ${SCRIPT} script)
string(REGEX MATCH "\n```nsis\n([^`]+)```" block "${readme}")
string(REGEX MATCH "Function \\.onInit\n.*FunctionEnd\n" example "${CMAKE_MATCH_1}")
string(REGEX REPLACE "[^\n]*; the tests' own line\n" "" script "${script}")
string(FIND "${script}" "${example}" at)
if(NOT block OR at EQUAL -1)
    message(FATAL_ERROR "The NSIS example in ${README} is not the one in ${SCRIPT}")
endif()
