# Install rules (cmake --install build --prefix ..., DESTDIR honoured): the daemon in
# sbin, the tools in bin, the interface description, the manual pages and the two
# guides (README, docs/CLIENTS.md) under share.
# Nothing here is written at run time: the daemon's writable home is the state
# directory the package makes (debian/), because its lock file and channel key follow
# the path it was started by.
include(GNUInstallDirs)

install(TARGETS gui-connector RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
foreach(tool status-send connector-client)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET gc_wsdl)
  install(FILES ${CMAKE_BINARY_DIR}/gui-connector.wsdl ${CMAKE_BINARY_DIR}/sntr.xsd
          DESTINATION ${CMAKE_INSTALL_DATADIR}/gui-connector)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/man/gui-connector.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/man/status-send.1 ${PROJECT_SOURCE_DIR}/man/connector-client.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/CLIENTS.md
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/gui-connector)
