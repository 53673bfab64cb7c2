# The support code walks forms through the public header.
target_link_libraries(testsupport PUBLIC mpread)

add_subdirectory(unit/slow)
