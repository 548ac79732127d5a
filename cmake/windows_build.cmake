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
# handlers (NO_SEH), as it has none.
set(VUQ_WRAPPER_COMPILE_OPTIONS ${VUQ_WINDOWS_COMPILE_OPTIONS} -march=i586 -fno-stack-protector
    -Wframe-larger-than=3900)
set(VUQ_WRAPPER_LINK_OPTIONS -nostdlib -nostartfiles -s -Wl,--gc-sections
    -Wl,--no-insert-timestamp -Wl,-e,_ProcessEntry -Wl,--dynamicbase,--nxcompat,--no-seh
    -Wl,--major-subsystem-version,5,--minor-subsystem-version,0)
set_source_files_properties(src/platform/compiler_support_win32.cpp PROPERTIES
    COMPILE_OPTIONS -fno-tree-loop-distribute-patterns)

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

enable_language(RC)
add_wrapper_executable(VuqSetup ${VUQ_DIST_DIR})
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

enable_testing()
add_subdirectory(tests/e2e)
add_subdirectory(tests/image)
add_subdirectory(tests/sign)
add_subdirectory(tests/setup)
