# cmake --install: headers under include/hxclient (so includes keep their "core/..." form),
# the libraries, and a package config for find_package(hxclient).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS hxcore EXPORT hxclientTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/core DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hxclient
  FILES_MATCHING PATTERN "*.h")
install(TARGETS knplatform EXPORT hxclientTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hxclient
  FILES_MATCHING PATTERN "*.h")
install(TARGETS knsdk EXPORT hxclientTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/sdk DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/hxclient
  FILES_MATCHING PATTERN "*.h")
install(EXPORT hxclientTargets NAMESPACE hx:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/hxclient)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/hxclientConfig.cmake.in
  ${PROJECT_BINARY_DIR}/hxclientConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/hxclient)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/hxclientConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/hxclientConfig.cmake ${PROJECT_BINARY_DIR}/hxclientConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/hxclient)
