# The support code walks forms through the public header.
target_link_libraries(testsupport PUBLIC mpread)

# Streams 100 MB: labelled slow as well, so that runs under valgrind can
# leave it out (ctest -LE slow).
add_executable(stream_memory unit/stream_memory.cpp)
target_link_libraries(stream_memory PRIVATE testsupport mpread
                      GTest::gtest GTest::gtest_main)
target_compile_options(stream_memory PRIVATE -Wall -Wextra)
gtest_discover_tests(stream_memory DISCOVERY_TIMEOUT 60
                     PROPERTIES LABELS "unit;slow")
