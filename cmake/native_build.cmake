# Host build: the portable logic, for the unit tests against a stand-in of the platform.
# The payload check goes into the exe only when it is pinned; the tests always have it.
add_library(vuq_core STATIC ${VUQ_CORE_SOURCES} src/launch/payload_check.cpp)
target_include_directories(vuq_core PUBLIC src)
