# Debian packages from the install components, with CPack's DEB generator:
#   libmpread0     (runtime) the three shared libraries and their sonames
#   libmpread-dev  (dev)     headers, .so links, pkg-config files, the CMake
#                            package, the section-3 manual pages
#   mpread-upload  (upload)  the upload handler and its demo files
# Build them with scripts/build-debs.sh; configure with
# -DCMAKE_INSTALL_PREFIX=/usr, or the libraries land outside the system's
# library path.
set(MPREAD_PACKAGE_CONTACT "libmpread maintainers <maintainers@libmpread.invalid>"
    CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libmpread)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${MPREAD_PACKAGE_CONTACT})
# CPack puts a summary set here on top of every package's own description;
# its default value is the one it leaves out.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_STRIP_FILES ON)
# The pkg-config files are written at install time from CMAKE_INSTALL_PREFIX:
# with DESTDIR staging it is /usr there, not CPack's scratch folder.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(TARGET mpread-upload)
  list(APPEND CPACK_COMPONENTS_ALL upload)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE libmpread)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libmpread0)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The shlibs record: a program built against 0.x runs on every later 0.x
# (the ABI check keeps it so), so it needs at least the version it was built
# with. dpkg-shlibdeps takes the same record for mpread-upload from a
# package-like tree (DEBIAN/shlibs beside links to the built libraries),
# as it would from libmpread0's own tree in a Debian source build.
set(mpread_shlibs_root ${CMAKE_BINARY_DIR}/deb-shlibs)
set(mpread_shlibs "")
foreach(lib intake reqinfo mpread)
  string(APPEND mpread_shlibs "lib${lib} 0 libmpread0 (>= ${PROJECT_VERSION})\n")
  add_custom_command(TARGET ${lib} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${mpread_shlibs_root}/lib
    COMMAND ${CMAKE_COMMAND} -E create_symlink $<TARGET_SONAME_FILE:${lib}>
            ${mpread_shlibs_root}/lib/$<TARGET_SONAME_FILE_NAME:${lib}>)
endforeach()
file(CONFIGURE OUTPUT ${mpread_shlibs_root}/DEBIAN/shlibs CONTENT "${mpread_shlibs}")
# ldconfig runs from dpkg's trigger; CPack would call it from postinst and
# postrm, which Debian no longer does, unless the package brings its own.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${mpread_shlibs_root}/DEBIAN/shlibs
    ${CMAKE_CURRENT_LIST_DIR}/deb/triggers ${CMAKE_CURRENT_LIST_DIR}/deb/postinst
    ${CMAKE_CURRENT_LIST_DIR}/deb/postrm)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${mpread_shlibs_root}/lib)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "streaming multipart/form-data reader for CGI programs
libmpread reads a multipart/form-data POST request, file uploads included,
from the standard input of a CGI program, in fixed 4096-byte buffers.
.
This package holds the shared libraries libmpread, libintake and libreqinfo.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libmpread-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "libmpread0 (= ${PROJECT_VERSION}), libglib2.0-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "streaming multipart/form-data reader for CGI programs (development files)
libmpread reads a multipart/form-data POST request, file uploads included,
from the standard input of a CGI program, in fixed 4096-byte buffers.
.
This package holds the headers, the pkg-config files, the CMake package and
the manual pages.")

set(CPACK_DEBIAN_UPLOAD_PACKAGE_NAME mpread-upload)
set(CPACK_DEBIAN_UPLOAD_PACKAGE_SECTION web)
set(CPACK_DEBIAN_UPLOAD_DESCRIPTION "CGI handler that stores uploaded files
mpread-upload stores the files of an uploaded HTML form in a folder and
answers with JSON: name, type, size and SHA-256 of each file, and the text
fields. It runs under any web server that speaks CGI.
.
An upload page and configurations for busybox httpd, lighttpd, Apache and
nginx are in
/usr/share/doc/mpread-upload/examples.")

# What Debian wants in every package: copyright, a changelog, and the
# reasons for the lintian tags we keep. Only component installs take these.
set(mpread_deb_dir ${CMAKE_CURRENT_LIST_DIR}/deb)
foreach(component ${CPACK_COMPONENTS_ALL})
  string(TOUPPER ${component} upper)
  set(pkg ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${mpread_deb_dir}/copyright ${mpread_deb_dir}/changelog
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${pkg}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
  if(EXISTS ${mpread_deb_dir}/${pkg}.lintian-overrides)
    install(FILES ${mpread_deb_dir}/${pkg}.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${pkg}
            COMPONENT ${component} EXCLUDE_FROM_ALL)
  endif()
endforeach()
# Manual pages and changelogs compressed, .so pages made links, as Debian
# lays them out.
set(CPACK_PRE_BUILD_SCRIPTS ${mpread_deb_dir}/finish-staging.cmake)

include(CPack)
