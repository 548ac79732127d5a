# Host build of the libFuzzer harnesses: the portable logic and the platform stand-in carry
# the fuzzer's coverage hooks and the sanitizers, each harness links libFuzzer's main.
enable_testing()

set(VUQ_FUZZ_INSTRUMENTATION -fsanitize=fuzzer-no-link,address,undefined
    -fno-sanitize-recover=all -fno-omit-frame-pointer)
set(VUQ_FUZZ_HARNESS_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
    -fno-omit-frame-pointer)

add_library(vuq_core_fuzz STATIC ${VUQ_CORE_SOURCES})
target_include_directories(vuq_core_fuzz PUBLIC src)
target_compile_options(vuq_core_fuzz PRIVATE ${VUQ_FUZZ_INSTRUMENTATION})

add_library(platform_standin_fuzz STATIC tests/unit/platform_standin.cpp)
target_include_directories(platform_standin_fuzz PUBLIC src tests/unit)
target_compile_options(platform_standin_fuzz PRIVATE ${VUQ_FUZZ_INSTRUMENTATION})

set(VUQ_FUZZ_HARNESSES fuzz_text_search fuzz_launch_plan fuzz_cleanup fuzz_argument_text)
# tools/fuzz.sh runs the harnesses this list names, so that no second list can miss one.
string(REPLACE ";" "\n" harness_lines "${VUQ_FUZZ_HARNESSES}")
file(WRITE ${CMAKE_BINARY_DIR}/harnesses.txt "${harness_lines}\n")
# Runs per smoke test: enough to pass every seed and mutate a while, a few seconds at most.
set(VUQ_FUZZ_SMOKE_RUNS 20000 CACHE STRING "libFuzzer runs of each smoke test")

foreach(harness IN LISTS VUQ_FUZZ_HARNESSES)
    add_executable(${harness} tests/fuzz/${harness}.cpp)
    target_include_directories(${harness} PRIVATE tests/fuzz)
    target_compile_options(${harness} PRIVATE ${VUQ_FUZZ_HARNESS_FLAGS})
    target_link_options(${harness} PRIVATE ${VUQ_FUZZ_HARNESS_FLAGS})
    target_link_libraries(${harness} PRIVATE vuq_core_fuzz platform_standin_fuzz)

    # libFuzzer adds what it finds to its first corpus folder: that is a scratch folder
    # emptied before each run, so the committed seeds are only read.
    set(scratch ${CMAKE_BINARY_DIR}/smoke-${harness})
    add_test(NAME ${harness}_smoke
        COMMAND sh -c "rm -rf \"$1\" && mkdir -p \"$1\" && exec \"$0\" -runs=$2 -seed=1 \
-max_len=4096 -artifact_prefix=\"$1/\" \"$1\" \"$3\""
            $<TARGET_FILE:${harness}> ${scratch} ${VUQ_FUZZ_SMOKE_RUNS}
            ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${harness})
    set_tests_properties(${harness}_smoke PROPERTIES TIMEOUT 60)
endforeach()
