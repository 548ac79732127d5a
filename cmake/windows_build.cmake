# Cross build of the shipped program, and the functions that the Wine lab builds its own
# variants of it with.
set(VUQ_DIST_DIR ${CMAKE_SOURCE_DIR}/dist CACHE PATH "Where VuqSetup.exe is put")

# Small, self-contained and reproducible: no C++ runtime DLLs, no link timestamp, no paths.
set(VUQ_WINDOWS_COMPILE_OPTIONS -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -ffunction-sections -fdata-sections -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
    -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
set(VUQ_WINDOWS_LINK_OPTIONS -municode -static -s -Wl,--gc-sections -Wl,--no-insert-timestamp
    -Wl,--major-subsystem-version,5,--minor-subsystem-version,0)

# The wrapper has no C runtime: its own entry, kernel32 and advapi32 only (shcore or shell32,
# and user32, are loaded at run time), and no frame large enough to need a stack probe, which
# would otherwise come from libgcc. Its code runs on every x86 CPU that XP runs on, Pentium MMX,
# K6 and Vortex86 among them (i586: no cmov), and its image says that it has no exception
# handlers (NO_SEH), as it has none. Compact code: size before speed (-Oz), arguments pushed, no
# frame pointer, the stack kept at the 4 bytes Windows gives a 32-bit thread (no SSE needs more),
# data aligned as the ABI asks rather than to 32 bytes.
set(VUQ_WRAPPER_COMPILE_OPTIONS ${VUQ_WINDOWS_COMPILE_OPTIONS} -Oz -march=i586
    -fno-stack-protector -Wframe-larger-than=3900 -mno-stack-arg-probe
    -mno-accumulate-outgoing-args -fomit-frame-pointer -mpreferred-stack-boundary=2
    -malign-data=abi)
set(VUQ_WRAPPER_LINK_OPTIONS -nostdlib -nostartfiles -s -Wl,--gc-sections
    -Wl,--no-insert-timestamp -Wl,-e,_ProcessEntry -Wl,--dynamicbase,--nxcompat,--no-seh
    -Wl,--major-subsystem-version,5,--minor-subsystem-version,0)
set(VUQ_SRC ${CMAKE_SOURCE_DIR}/src)

# Paths are absolute and source properties set for the target's own folder, so that the lab
# builds the same program from its own folder.
function(add_wrapper_executable name output_dir)
    list(TRANSFORM VUQ_CORE_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/ OUTPUT_VARIABLE core)
    add_executable(${name} WIN32
        ${core}
        ${VUQ_SRC}/platform/platform_win32.cpp
        ${VUQ_SRC}/platform/compiler_support_win32.cpp
        ${VUQ_SRC}/entry/entry_win32.cpp)
    set_source_files_properties(${VUQ_SRC}/platform/compiler_support_win32.cpp
        TARGET_DIRECTORY ${name} PROPERTIES COMPILE_OPTIONS -fno-tree-loop-distribute-patterns)
    # The platform layer's two words of state, with a section of their own, would cost a
    # 512-byte .data section.
    set_source_files_properties(${VUQ_SRC}/platform/platform_win32.cpp
        TARGET_DIRECTORY ${name} PROPERTIES COMPILE_OPTIONS -fno-data-sections)
    target_include_directories(${name} PRIVATE ${VUQ_SRC})
    target_compile_options(${name} PRIVATE ${VUQ_WRAPPER_COMPILE_OPTIONS})
    target_link_options(${name} PRIVATE ${VUQ_WRAPPER_LINK_OPTIONS})
    target_link_libraries(${name} PRIVATE advapi32 kernel32)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${output_dir})
    add_custom_command(TARGET ${name} PRE_LINK
        COMMAND sh ${CMAKE_SOURCE_DIR}/tools/check-no-constructors.sh ${CMAKE_OBJDUMP}
            "$<TARGET_OBJECTS:${name}>"
        COMMAND_EXPAND_LISTS VERBATIM)
endfunction()

# A pinned build starts only the payloads it was made for. PAYLOAD32 and PAYLOAD64 are files
# (or the paths of other targets' outputs); the pins are taken when the build runs.
# Files the payloads are made from can follow as further arguments.
function(pin_wrapper_payloads name payload32 payload64)
    # Pinned on every build, so that every build says what it pinned; the file the wrapper
    # compiles in is only rewritten when a pin changed.
    set(pins ${CMAKE_BINARY_DIR}/pins/${name}.inc)
    add_custom_target(${name}Pins
        COMMAND sh ${CMAKE_SOURCE_DIR}/tools/pin-payloads.sh "${payload32}" "${payload64}" ${pins}
        BYPRODUCTS ${pins} DEPENDS ${ARGN} VERBATIM)
    add_dependencies(${name} ${name}Pins)
    target_sources(${name} PRIVATE ${VUQ_SRC}/launch/payload_check.cpp
        ${VUQ_SRC}/platform/payload_file_win32.cpp)
    # Its read buffer and the CryptoAPI functions found at run time are zero-filled storage:
    # with a section of their own they would be written out into the file as zeros (a .data
    # section) rather than left to the loader.
    set_source_files_properties(${VUQ_SRC}/launch/payload_check.cpp
        ${VUQ_SRC}/platform/payload_file_win32.cpp TARGET_DIRECTORY ${name}
        PROPERTIES COMPILE_OPTIONS -fno-data-sections)
    # The entry includes the pins; the compiler's own dependency file tracks that include.
    target_compile_definitions(${name} PRIVATE VUQ_PAYLOAD_PINS_FILE="${pins}")
endfunction()

# The manifest, icon and version record, as released.
function(add_wrapper_resources name)
    set(rc ${CMAKE_SOURCE_DIR}/res/VuqSetup.rc)
    target_sources(${name} PRIVATE ${rc})
    # windres does not report the files it reads, so the resources are rebuilt when these change.
    set_source_files_properties(${rc} TARGET_DIRECTORY ${name} PROPERTIES OBJECT_DEPENDS
        "${CMAKE_SOURCE_DIR}/res/VuqSetup.manifest;${CMAKE_SOURCE_DIR}/res/VuqSetup.ico")
endfunction()

set(VUQ_PAYLOAD32 "" CACHE FILEPATH "32-bit payload VuqSetup.exe is pinned to (with VUQ_PAYLOAD64)")
set(VUQ_PAYLOAD64 "" CACHE FILEPATH "64-bit payload VuqSetup.exe is pinned to (with VUQ_PAYLOAD32)")

enable_language(RC)
add_wrapper_executable(VuqSetup ${VUQ_DIST_DIR})
if(VUQ_PAYLOAD32 OR VUQ_PAYLOAD64)
    # A relative path is taken from the source folder, where make runs.
    foreach(width 32 64)
        if(VUQ_PAYLOAD${width})
            get_filename_component(payload${width} "${VUQ_PAYLOAD${width}}" ABSOLUTE
                BASE_DIR ${CMAKE_SOURCE_DIR})
        endif()
    endforeach()
    # Refused here already, when configured: a payload the system it is meant for cannot start.
    execute_process(COMMAND sh ${CMAKE_SOURCE_DIR}/tools/pin-payloads.sh "${payload32}"
        "${payload64}" RESULT_VARIABLE refused ERROR_VARIABLE said OUTPUT_QUIET)
    if(refused)
        message(FATAL_ERROR "${said}")
    endif()
    pin_wrapper_payloads(VuqSetup "${payload32}" "${payload64}")
endif()
add_wrapper_resources(VuqSetup)
