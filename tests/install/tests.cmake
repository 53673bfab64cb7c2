# Packaging checks. The exports one reads the libraries with the target's
# binutils, so cross builds run it too; the others need the host's compiler.
set(exports_handler "")
if(TARGET mpread-upload)
  set(exports_handler $<TARGET_FILE:mpread-upload>)
endif()
add_test(NAME exports
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check-exports.sh ${CMAKE_NM} ${CMAKE_READELF}
          ${PROJECT_SOURCE_DIR} $<IF:$<BOOL:${MPREAD_HARDEN}>,ON,OFF>
          $<TARGET_FILE:intake> $<TARGET_FILE:reqinfo> $<TARGET_FILE:mpread>
          ${exports_handler})
set_tests_properties(exports PROPERTIES LABELS unit)

if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME install
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check-install.sh ${CMAKE_BINARY_DIR}
            ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/install-check
            ${CMAKE_C_COMPILER} ${PROJECT_VERSION})
  set_tests_properties(install PROPERTIES LABELS install TIMEOUT 300)

  add_test(NAME manpage
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check-man.sh ${PROJECT_SOURCE_DIR}/man/mpread.3)
  set_tests_properties(manpage PROPERTIES LABELS install SKIP_RETURN_CODE 77)
endif()
