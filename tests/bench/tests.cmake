# The benchmark's programs, and the memory behaviour it relies on.
include(${PROJECT_SOURCE_DIR}/bench/bench.cmake)

# Wraps the C allocator, which the sanitizers' runtimes and valgrind replace
# themselves.
if(NOT MPREAD_SANITIZE AND NOT CMAKE_CROSSCOMPILING_EMULATOR MATCHES "valgrind")
  add_executable(alloc_test bench/alloc_test.cpp)
  target_link_libraries(alloc_test PRIVATE testsupport mpread
                        GTest::gtest GTest::gtest_main)
  target_compile_options(alloc_test PRIVATE -Wall -Wextra)
  gtest_discover_tests(alloc_test DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
endif()

# The delimiter search against a plain find, past what the fuzz model covers.
add_executable(search_test bench/search_test.cpp)
target_link_libraries(search_test PRIVATE testsupport intake
                      GTest::gtest GTest::gtest_main)
target_compile_options(search_test PRIVATE -Wall -Wextra)
gtest_discover_tests(search_test DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
