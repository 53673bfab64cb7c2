# Run by CPack on its staging trees before packing: Debian keeps manual pages
# and changelogs compressed (gzip -9n, so that builds are reproducible), and
# a page that only sources another (".so man3/x.3") becomes a link to it.
file(GLOB_RECURSE pages LIST_DIRECTORIES false
     "${CPACK_TEMPORARY_DIRECTORY}/*/usr/share/man/man*/*")
foreach(page IN LISTS pages)
  file(READ "${page}" text)
  if(text MATCHES "^\\.so (man[^/\n]+)/([^/\n]+)\n?$")
    get_filename_component(dir "${page}" DIRECTORY)
    get_filename_component(section "${dir}" NAME)
    set(target "${CMAKE_MATCH_2}.gz")
    if(NOT CMAKE_MATCH_1 STREQUAL section)
      set(target "../${CMAKE_MATCH_1}/${target}")
    endif()
    file(REMOVE "${page}")
    file(CREATE_LINK "${target}" "${page}.gz" SYMBOLIC)
  endif()
endforeach()
file(GLOB_RECURSE pages LIST_DIRECTORIES false
     "${CPACK_TEMPORARY_DIRECTORY}/*/usr/share/man/man*/*")
file(GLOB changelogs "${CPACK_TEMPORARY_DIRECTORY}/*/usr/share/doc/*/changelog")
foreach(file IN LISTS pages changelogs)
  if(NOT IS_SYMLINK "${file}" AND NOT file MATCHES "\\.gz$")
    execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
