# End-to-end tests of mpread-upload: from a shell, under busybox httpd and
# lighttpd with curl, and in Debian's chromium. They need servers, a browser
# and npm packages that scripts/stages/40-e2e.sh installs; the unit stage
# leaves them out with -LE e2e. Each test works in a folder of its own
# under e2e/ in the build tree; the browser test leaves its screenshot there.
if(NOT TARGET mpread-upload)
  message(STATUS "mpread-upload is not built: no end-to-end tests")
  return()
endif()

set(e2e_src ${CMAKE_CURRENT_SOURCE_DIR}/e2e)
set(e2e_work ${CMAKE_BINARY_DIR}/e2e)
set(e2e_env MPREAD_E2E_HANDLER=$<TARGET_FILE:mpread-upload>)

add_test(NAME e2e.handler-cli COMMAND node ${e2e_src}/handler-cli.test.mjs)
set_tests_properties(e2e.handler-cli PROPERTIES
  ENVIRONMENT "${e2e_env};MPREAD_E2E_WORK=${e2e_work}/handler-cli")

foreach(server busybox lighttpd)
  add_test(NAME e2e.${server}.uploads
    COMMAND bash ${e2e_src}/server-uploads.sh ${server} ${e2e_work}/${server}-uploads
            $<TARGET_FILE:mpread-upload>)
  add_test(NAME e2e.${server}.truncated
    COMMAND bash ${e2e_src}/truncated-upload.sh ${server} ${e2e_work}/${server}-truncated
            $<TARGET_FILE:mpread-upload>)
endforeach()

add_test(NAME e2e.browser COMMAND node ${e2e_src}/browser.test.mjs)
set_tests_properties(e2e.browser PROPERTIES
  ENVIRONMENT "${e2e_env};MPREAD_E2E_WORK=${e2e_work}/browser"
  ATTACHED_FILES ${e2e_work}/browser/result.png)

set_tests_properties(e2e.handler-cli e2e.busybox.uploads e2e.busybox.truncated
  e2e.lighttpd.uploads e2e.lighttpd.truncated e2e.browser PROPERTIES
  LABELS e2e TIMEOUT 300)
