# Installs the plugin SDK: the headers, a pkg-config module and a CMake
# package giving devovor::plugin_api.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/plugin_api
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT sdk)
install(TARGETS plugin_api EXPORT devovor-plugin-targets COMPONENT sdk)
install(EXPORT devovor-plugin-targets NAMESPACE devovor::
        FILE devovor-pluginTargets.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/devovor-plugin COMPONENT sdk)
configure_file(${PROJECT_SOURCE_DIR}/cmake/devovor-pluginConfig.cmake.in
               ${PROJECT_BINARY_DIR}/devovor-pluginConfig.cmake @ONLY)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/devovor-pluginConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_BINARY_DIR}/devovor-pluginConfig.cmake
              ${PROJECT_BINARY_DIR}/devovor-pluginConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/devovor-plugin COMPONENT sdk)
# The prefix is only known at install time: the .pc file is written then.
install(CODE "
  set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  set(CMAKE_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/devovor-plugin.pc.in\"
                 \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig/devovor-plugin.pc\" @ONLY)
" COMPONENT sdk)
