# Host build for the libFuzzer harnesses: the portable logic carries the fuzzer's coverage hooks
# and the sanitizers.
set(VUQ_FUZZ_INSTRUMENTATION -fsanitize=fuzzer-no-link,address,undefined
    -fno-sanitize-recover=all -fno-omit-frame-pointer)
set(VUQ_FUZZ_HARNESS_FLAGS -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
    -fno-omit-frame-pointer)

add_library(vuq_core_fuzz STATIC ${VUQ_CORE_SOURCES})
target_include_directories(vuq_core_fuzz PUBLIC src)
target_compile_options(vuq_core_fuzz PRIVATE ${VUQ_FUZZ_INSTRUMENTATION})
