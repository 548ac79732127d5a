# Host build: the portable logic against a scriptable stand-in of the platform, under GoogleTest.
find_package(GTest REQUIRED)
include(GoogleTest)
enable_testing()

# The payload check goes into the exe only when it is pinned; the tests always have it.
add_library(vuq_core STATIC ${VUQ_CORE_SOURCES} src/launch/payload_check.cpp)
target_include_directories(vuq_core PUBLIC src)

add_library(platform_standin STATIC tests/unit/platform_standin.cpp)
target_include_directories(platform_standin PUBLIC src tests/unit)

add_executable(unit_tests
    tests/unit/argument_text_test.cpp
    tests/unit/text_search_test.cpp
    tests/unit/launch_plan_test.cpp
    tests/unit/run_sequence_test.cpp
    tests/unit/uninstall_cleanup_test.cpp)
target_link_libraries(unit_tests PRIVATE vuq_core platform_standin GTest::gtest_main)
gtest_discover_tests(unit_tests DISCOVERY_TIMEOUT 30)

add_test(NAME includes_point_down
    COMMAND sh ${CMAKE_SOURCE_DIR}/tests/unit/check_includes.sh ${CMAKE_SOURCE_DIR}/src)

find_program(CLANG_FORMAT NAMES clang-format clang-format-14)
if(CLANG_FORMAT)
    file(GLOB_RECURSE VUQ_FORMATTED_SOURCES CONFIGURE_DEPENDS
        ${CMAKE_SOURCE_DIR}/src/*.cpp ${CMAKE_SOURCE_DIR}/src/*.h
        ${CMAKE_SOURCE_DIR}/tests/*.cpp ${CMAKE_SOURCE_DIR}/tests/*.h)
    add_test(NAME clang_format COMMAND ${CLANG_FORMAT} --dry-run -Werror ${VUQ_FORMATTED_SOURCES})
endif()
