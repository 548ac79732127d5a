# Cross build of the shipped program and of the helper programs its Wine tests use.
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
# handlers (NO_SEH), as it has none. Compact code: arguments pushed, no frame pointer, the stack
# kept at the 4 bytes Windows gives a 32-bit thread (no SSE needs more), data aligned as the ABI
# asks rather than to 32 bytes.
set(VUQ_WRAPPER_COMPILE_OPTIONS ${VUQ_WINDOWS_COMPILE_OPTIONS} -march=i586 -fno-stack-protector
    -Wframe-larger-than=3900 -mno-stack-arg-probe -mno-accumulate-outgoing-args
    -fomit-frame-pointer -mpreferred-stack-boundary=2 -malign-data=abi)
set(VUQ_WRAPPER_LINK_OPTIONS -nostdlib -nostartfiles -s -Wl,--gc-sections
    -Wl,--no-insert-timestamp -Wl,-e,_ProcessEntry -Wl,--dynamicbase,--nxcompat,--no-seh
    -Wl,--major-subsystem-version,5,--minor-subsystem-version,0)
set_source_files_properties(src/platform/compiler_support_win32.cpp PROPERTIES
    COMPILE_OPTIONS -fno-tree-loop-distribute-patterns)
# Its read buffer is zero-filled storage: with a section of its own it would be written out
# into the file as 64 KB of zeros rather than left to the loader. The same holds for the
# platform layer's two words of state, which would cost a 512-byte .data section.
set_source_files_properties(src/launch/payload_check.cpp src/platform/platform_win32.cpp
    PROPERTIES COMPILE_OPTIONS -fno-data-sections)

function(add_wrapper_executable name output_dir)
    add_executable(${name} WIN32
        ${VUQ_CORE_SOURCES}
        src/platform/platform_win32.cpp
        src/platform/compiler_support_win32.cpp
        src/entry/entry_win32.cpp)
    target_include_directories(${name} PRIVATE src)
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
    target_sources(${name} PRIVATE src/launch/payload_check.cpp
        src/platform/payload_file_win32.cpp)
    # The entry includes the pins; the compiler's own dependency file tracks that include.
    target_compile_definitions(${name} PRIVATE VUQ_PAYLOAD_PINS_FILE="${pins}")
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
    pin_wrapper_payloads(VuqSetup "${payload32}" "${payload64}")
endif()
target_sources(VuqSetup PRIVATE res/VuqSetup.rc)
# windres does not report the files it reads, so the resources are rebuilt when these change.
set_source_files_properties(res/VuqSetup.rc PROPERTIES OBJECT_DEPENDS
    "${CMAKE_SOURCE_DIR}/res/VuqSetup.manifest;${CMAKE_SOURCE_DIR}/res/VuqSetup.ico")

# The same program where SetDefaultDllDirectories is missing, for the Wine tests.
add_wrapper_executable(VuqSetupWithoutDllApi ${CMAKE_BINARY_DIR}/tests/e2e/helpers)
target_compile_definitions(VuqSetupWithoutDllApi PRIVATE
    VUQ_DLL_DIRECTORIES_FUNCTION="NoSuchDllDirectoriesFunction")
# Where kernel32 lacks IsWow64Process (before XP SP2): must count as a 32-bit system.
add_wrapper_executable(VuqSetupWithoutWow64Api ${CMAKE_BINARY_DIR}/tests/e2e/helpers)
target_compile_definitions(VuqSetupWithoutWow64Api PRIVATE
    VUQ_WOW64_FUNCTION="NoSuchWow64Function")
# Where shell32 cannot split the command line: must report it.
add_wrapper_executable(VuqSetupWithoutSplitApi ${CMAKE_BINARY_DIR}/tests/e2e/helpers)
target_compile_definitions(VuqSetupWithoutSplitApi PRIVATE
    VUQ_SPLIT_FUNCTION="NoSuchSplitFunction")

# Pinned to the Wine tests' two fake payloads, which differ; with the resources, as released.
add_wrapper_executable(VuqSetupPinned ${CMAKE_BINARY_DIR}/tests/e2e/helpers)
target_sources(VuqSetupPinned PRIVATE res/VuqSetup.rc)
pin_wrapper_payloads(VuqSetupPinned $<TARGET_FILE:fake_payload> $<TARGET_FILE:fake_payload64>)
add_dependencies(VuqSetupPinnedPins fake_payload fake_payload64)
# Where CryptoAPI has no SHA-256 provider (Windows before XP SP3): must refuse, never start.
add_wrapper_executable(VuqSetupPinnedWithoutSha256 ${CMAKE_BINARY_DIR}/tests/e2e/helpers)
pin_wrapper_payloads(VuqSetupPinnedWithoutSha256 $<TARGET_FILE:fake_payload>
    $<TARGET_FILE:fake_payload64>)
add_dependencies(VuqSetupPinnedWithoutSha256Pins fake_payload fake_payload64)
target_compile_definitions(VuqSetupPinnedWithoutSha256 PRIVATE VUQ_PROVIDER_TYPE=999)
# Where SetDefaultDllDirectories is missing (XP, Vista, 7 without KB2533623), and where
# GetFinalPathNameByHandleW is (XP): pinned builds that must start only what they checked.
add_wrapper_executable(VuqSetupPinnedWithoutDllApi ${CMAKE_BINARY_DIR}/tests/e2e/helpers)
target_compile_definitions(VuqSetupPinnedWithoutDllApi PRIVATE
    VUQ_DLL_DIRECTORIES_FUNCTION="NoSuchDllDirectoriesFunction")
add_wrapper_executable(VuqSetupPinnedWithoutFinalPathApi ${CMAKE_BINARY_DIR}/tests/e2e/helpers)
target_compile_definitions(VuqSetupPinnedWithoutFinalPathApi PRIVATE
    VUQ_FINAL_PATH_FUNCTION="NoSuchFinalPathFunction")
foreach(pinned VuqSetupPinnedWithoutDllApi VuqSetupPinnedWithoutFinalPathApi)
    pin_wrapper_payloads(${pinned} $<TARGET_FILE:fake_payload> $<TARGET_FILE:fake_payload64>)
    add_dependencies(${pinned}Pins fake_payload fake_payload64)
endforeach()

# For make bench only: pinned to a 64-bit payload of 1 MiB and of 100 MiB, the fake payload with
# zeros after its image, where a large setup carries its data.
foreach(mib 1 100)
    set(padded ${CMAKE_BINARY_DIR}/bench/payload_${mib}mib.wzq)
    math(EXPR bytes "${mib} * 1048576")
    add_custom_command(OUTPUT ${padded}
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:fake_payload64> ${padded}
        COMMAND truncate -s ${bytes} ${padded}
        DEPENDS fake_payload64 VERBATIM)
    add_wrapper_executable(VuqSetupPinned${mib}MiB ${CMAKE_BINARY_DIR}/tests/e2e/helpers)
    set_target_properties(VuqSetupPinned${mib}MiB PROPERTIES EXCLUDE_FROM_ALL TRUE)
    pin_wrapper_payloads(VuqSetupPinned${mib}MiB $<TARGET_FILE:fake_payload> ${padded} ${padded})
    add_dependencies(VuqSetupPinned${mib}MiBPins fake_payload)
endforeach()

enable_testing()
add_subdirectory(tests/e2e)
add_subdirectory(tests/image)
add_subdirectory(tests/sign)
add_subdirectory(tests/setup)
