# Installation: the library with its headers, the stand-in platform libraries
# with theirs, a CMake package and pkg-config files. The simulated
# installation is a component of its own: QZClientCreation::qzsim, and the
# qzsim pkg-config module.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QZCC_INCLUDE_SUBDIR qzcc)
set(QZCC_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QZClientCreation)
set(QZCC_PLATFORM_TARGETS QzXMLMessagesBase qzsim QZInstallClient QZAppMgr
                          QzLib)

# Installed libraries find each other next to themselves.
set_target_properties(QZClientCreation ${QZCC_PLATFORM_TARGETS} PROPERTIES
  INSTALL_RPATH "$ORIGIN")
foreach(target QZClientCreation ${QZCC_PLATFORM_TARGETS})
  target_include_directories(${target} INTERFACE
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/${QZCC_INCLUDE_SUBDIR}>)
endforeach()

install(TARGETS QZClientCreation ${QZCC_PLATFORM_TARGETS}
  EXPORT QZClientCreationTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS qzclients RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES include/QZClientCreation.h include/QZClientCreationExport.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${QZCC_INCLUDE_SUBDIR})
install(DIRECTORY src/host src/messages
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${QZCC_INCLUDE_SUBDIR}
  FILES_MATCHING PATTERN "*.h")
install(FILES platform/sim/qzsim.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${QZCC_INCLUDE_SUBDIR}/sim)

install(EXPORT QZClientCreationTargets
  NAMESPACE QZClientCreation::
  DESTINATION ${QZCC_CMAKE_DIR})
configure_package_config_file(cmake/QZClientCreationConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QZClientCreationConfig.cmake
  INSTALL_DESTINATION ${QZCC_CMAKE_DIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/QZClientCreationConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QZClientCreationConfig.cmake
              ${PROJECT_BINARY_DIR}/QZClientCreationConfigVersion.cmake
  DESTINATION ${QZCC_CMAKE_DIR})

file(RELATIVE_PATH QZCC_PC_TO_PREFIX
  ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig
  ${CMAKE_INSTALL_PREFIX})
foreach(module QZClientCreation qzsim)
  configure_file(cmake/${module}.pc.in ${PROJECT_BINARY_DIR}/${module}.pc
    @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${module}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
