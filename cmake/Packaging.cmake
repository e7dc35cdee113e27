# Debian packages with CPack (scripts/package runs it):
#
#   devovor           the core in /usr/lib/devovor with its plugins/,
#                     protected-plugins/ and lib/ folders
#   devovor-examples  the example plugins, in the core's plugins/
#   devovor-plugin-dev  the SDK headers, pkg-config module and CMake package,
#                     devovor-inspect with its helpers, the plugin template
#                     and the toolchain file for the appliance
#   <package>-dbgsym  the detached debug symbols of each
#
# Each package's Depends comes from dpkg-shlibdeps over its programs and
# plugins; the examples also need the core of the same version. Every
# package carries the copyright file and Debian changelog lintian asks for.
# The architecture is the build's: the build machine's, or armhf when cross-
# built with cmake/toolchain-armhf.cmake.
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL core examples sdk)
set(CPACK_PACKAGING_INSTALL_PREFIX ${DV_PACKAGE_PREFIX})
# Each package ships its programs and plugins stripped; their detached debug
# symbols go to a <package>-dbgsym package under
# /usr/lib/debug/.build-id/<xx>/<rest>.debug, where gdb and valgrind look
# them up by build ID. The architecture's own objcopy and readelf split them.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_OBJCOPY_EXECUTABLE ${CMAKE_OBJCOPY})
set(CPACK_READELF_EXECUTABLE ${CMAKE_READELF})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian/dbgsym.cmake)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")  # all four parts
set(CPACK_PACKAGE_VENDOR "devovor")
set(CPACK_PACKAGE_CONTACT "devovor maintainers <maintainers@devovor.example>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://devovor.example/")
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
endif()

set(CPACK_DEBIAN_CORE_PACKAGE_NAME devovor)
set(CPACK_DEBIAN_EXAMPLES_PACKAGE_NAME devovor-examples)
set(CPACK_DEBIAN_SDK_PACKAGE_NAME devovor-plugin-dev)
set(CPACK_DEBIAN_SDK_PACKAGE_SECTION devel)
set(_dv_deb_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(CPACK_DEBIAN_EXAMPLES_PACKAGE_DEPENDS "devovor (= ${_dv_deb_version})")
# --exercise runs the core; inspecting and building plugins do not need it.
set(CPACK_DEBIAN_SDK_PACKAGE_RECOMMENDS "devovor (= ${_dv_deb_version}), cmake, pkg-config")
set(CPACK_DEBIAN_SDK_PACKAGE_SUGGESTS "valgrind")

set(CPACK_COMPONENT_CORE_DESCRIPTION
  "core process of the video-recording server
The devovor core: started by the parent daemon with one inherited socket,
it gives up root, loads the plugins in /usr/lib/devovor/plugins and
/usr/lib/devovor/protected-plugins, and routes every event between them.")
set(CPACK_COMPONENT_EXAMPLES_DESCRIPTION
  "example plugins for the devovor core
Four example plugins, installed into the core's plugins folder: a camera
simulator, a recorder writing segment files, a rotating log file and a
bridge answering the parent daemon.")
set(CPACK_COMPONENT_SDK_DESCRIPTION
  "plugin SDK and tools for the devovor core
The plain-C headers of the plugin interface with their helpers, a
pkg-config module and a CMake package (devovor-plugin), devovor-inspect,
which tells what the core will make of a plugin and exercises it in a
real core, and a plugin template to copy (/usr/share/devovor).")

# /usr/share/doc/<package>/{copyright,changelog.Debian.gz}
string(TIMESTAMP _dv_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(_dv_packages devovor devovor-examples devovor-plugin-dev)
foreach(component package IN ZIP_LISTS CPACK_COMPONENTS_ALL _dv_packages)
  set(_dv_doc ${PROJECT_BINARY_DIR}/debian-doc/${package})
  file(MAKE_DIRECTORY ${_dv_doc})
  set(DV_DEB_PACKAGE ${package})
  set(DV_DEB_VERSION ${_dv_deb_version})
  set(DV_DEB_MAINTAINER "${CPACK_DEBIAN_PACKAGE_MAINTAINER}")
  set(DV_DEB_DATE "${_dv_changelog_date}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${_dv_doc}/changelog.Debian @ONLY)
  execute_process(COMMAND gzip -9nf ${_dv_doc}/changelog.Debian RESULT_VARIABLE _dv_gzip)
  if(NOT _dv_gzip EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${_dv_doc}/changelog.Debian")
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${_dv_doc}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component}
          EXCLUDE_FROM_ALL)
endforeach()

# The core keeps its own table of the XML parser's error texts (its log
# messages quote them), which lintian takes for an embedded copy of TinyXML.
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/devovor.lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME devovor
        COMPONENT core EXCLUDE_FROM_ALL)

include(CPack)
