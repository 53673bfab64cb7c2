# The benchmark's programs, and the memory behaviour it relies on.
include(${PROJECT_SOURCE_DIR}/bench/bench.cmake)

# Wraps the C allocator, which the sanitizers' runtimes replace themselves.
if(NOT MPREAD_SANITIZE)
  add_executable(alloc_test bench/alloc_test.cpp)
  target_link_libraries(alloc_test PRIVATE testsupport mpread
                        GTest::gtest GTest::gtest_main)
  target_compile_options(alloc_test PRIVATE -Wall -Wextra)
  gtest_discover_tests(alloc_test DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
endif()

# The delimiter search as the benchmark drives it, against a plain find.
add_executable(search_test bench/search_test.cpp)
target_link_libraries(search_test PRIVATE testsupport intake
                      GTest::gtest GTest::gtest_main)
target_compile_options(search_test PRIVATE -Wall -Wextra)
gtest_discover_tests(search_test DISCOVERY_TIMEOUT 60 PROPERTIES LABELS unit)
