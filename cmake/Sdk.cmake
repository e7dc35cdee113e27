# Installs the plugin SDK: the headers, a pkg-config module, a CMake
# package giving devovor::plugin_api (and devovor::inspect), the plugin
# template and the toolchain file for the appliance. devovor-inspect and
# its helpers install from tools/.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/plugin_api
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT sdk
        DIRECTORY_PERMISSIONS ${DV_DIRECTORY_PERMISSIONS})
install(TARGETS plugin_api EXPORT devovor-plugin-targets COMPONENT sdk)
install(EXPORT devovor-plugin-targets NAMESPACE devovor::
        FILE devovor-pluginTargets.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/devovor-plugin COMPONENT sdk)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/devovor-pluginConfig.cmake.in
  ${PROJECT_BINARY_DIR}/devovor-pluginConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/devovor-plugin
  PATH_VARS CMAKE_INSTALL_BINDIR DV_INSTALL_CORE_DIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/devovor-pluginConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_BINARY_DIR}/devovor-pluginConfig.cmake
              ${PROJECT_BINARY_DIR}/devovor-pluginConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/devovor-plugin COMPONENT sdk)
# The SDK is headers only, the same for every architecture: its .pc file
# goes to share/pkgconfig, and names its prefix relative to its own folder,
# so it holds wherever the SDK is installed or unpacked.
file(RELATIVE_PATH DV_PC_TO_PREFIX "/${CMAKE_INSTALL_DATADIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" DV_PC_TO_PREFIX "${DV_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/devovor-plugin.pc.in
               ${PROJECT_BINARY_DIR}/devovor-plugin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/devovor-plugin.pc
        DESTINATION ${CMAKE_INSTALL_DATADIR}/pkgconfig COMPONENT sdk)

# The toolchain file that cross-builds a plugin for the appliance.
install(FILES ${PROJECT_SOURCE_DIR}/cmake/toolchain-armhf.cmake
        DESTINATION ${CMAKE_INSTALL_DATADIR}/devovor COMPONENT sdk)

# The plugin template, a folder to copy.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/plugin-template
        DESTINATION ${CMAKE_INSTALL_DATADIR}/devovor COMPONENT sdk
        DIRECTORY_PERMISSIONS ${DV_DIRECTORY_PERMISSIONS})
