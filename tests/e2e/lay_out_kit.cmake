# The kit to run the end-to-end cases on a real Windows: the runner, the cases file, the wrapper
# under test and every program of the lab, in one folder made anew.
#   cmake -DKIT=DIR -DPROGRAMS=DIR -DWRAPPER=FILE -DCASES=FILE -P lay_out_kit.cmake
file(REMOVE_RECURSE ${KIT})
file(MAKE_DIRECTORY ${KIT})
file(GLOB programs ${PROGRAMS}/*.exe)
# make bench's own builds, pinned to payloads of its own, are no part of it.
list(FILTER programs EXCLUDE REGEX "MiB\\.exe$")
file(COPY ${programs} ${CASES} DESTINATION ${KIT})
file(COPY_FILE ${WRAPPER} ${KIT}/VuqSetup.exe)
list(LENGTH programs count)
message(STATUS "e2e kit: ${KIT}: cases.txt, VuqSetup.exe and ${count} programs of the lab, "
    "e2e_runner.exe among them")
