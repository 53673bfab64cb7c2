# The README's example program, built as strict C99 against the public
# header. Its test checks that the README's code block is this file byte for
# byte, and that the program saves the files of a sample form (run through
# the emulator when there is one: qemu for cross builds, valgrind in the
# memcheck stage).
add_executable(save-form-example ${PROJECT_SOURCE_DIR}/examples/save-form.c)
set_target_properties(save-form-example PROPERTIES
  C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(save-form-example PRIVATE -Wall -Wextra -Werror -pedantic)
target_link_libraries(save-form-example PRIVATE mpread PkgConfig::GLIB)

string(REPLACE ";" "|" cexample_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
add_test(NAME cexample.save-form
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DPROGRAM=$<TARGET_FILE:save-form-example>
          -DEMULATOR=${cexample_emulator}
          -DWORK_DIR=${CMAKE_CURRENT_BINARY_DIR}/cexample
          -P ${CMAKE_CURRENT_LIST_DIR}/check.cmake)
set_tests_properties(cexample.save-form PROPERTIES LABELS unit)
