# Cross build of the shipped program and of the helper programs its Wine tests use.
set(VUQ_DIST_DIR ${CMAKE_SOURCE_DIR}/dist CACHE PATH "Where VuqSetup.exe is put")

# Small, self-contained and reproducible: no C++ runtime DLLs, no link timestamp, no paths.
set(VUQ_WINDOWS_COMPILE_OPTIONS -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -ffunction-sections -fdata-sections -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
    -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
set(VUQ_WINDOWS_LINK_OPTIONS -municode -static -s -Wl,--gc-sections -Wl,--no-insert-timestamp
    -Wl,--major-subsystem-version,5,--minor-subsystem-version,0)

add_executable(VuqSetup WIN32
    ${VUQ_CORE_SOURCES}
    src/platform/platform_win32.cpp
    src/platform/entry_win32.cpp)
if(EXISTS ${CMAKE_SOURCE_DIR}/res/VuqSetup.rc)
    enable_language(RC)
    target_sources(VuqSetup PRIVATE res/VuqSetup.rc)
endif()
target_include_directories(VuqSetup PRIVATE src)
target_compile_options(VuqSetup PRIVATE ${VUQ_WINDOWS_COMPILE_OPTIONS})
target_link_options(VuqSetup PRIVATE ${VUQ_WINDOWS_LINK_OPTIONS})
target_link_libraries(VuqSetup PRIVATE shell32 user32 advapi32 kernel32)
set_target_properties(VuqSetup PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VUQ_DIST_DIR})

enable_testing()
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/e2e/CMakeLists.txt)
    add_subdirectory(tests/e2e)
endif()
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/image/CMakeLists.txt)
    add_subdirectory(tests/image)
endif()
