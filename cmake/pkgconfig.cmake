# The pkg-config files name the prefix they are installed under, and
# `cmake --install --prefix DIR` picks that prefix after configuration: so
# they are written at install time, not when configuring.
foreach(pc intake reqinfo mpread)
  set(pc_out ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${pc}.pc)
  install(CODE "
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    set(PROJECT_DESCRIPTION \"${PROJECT_DESCRIPTION}\")
    set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/cmake/${pc}.pc.in\" \"${pc_out}\" @ONLY)
    file(INSTALL \"${pc_out}\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")"
    COMPONENT dev)
endforeach()
