# The table of attacks lives in a directory of its own, so that its labels
# can be set on the directory: gtest_discover_tests flattens a list given
# as one test property, so "unit;attacks" there would not be two labels.
add_subdirectory(attacks)
