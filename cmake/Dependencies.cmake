# Finds the libraries the core, its tests and its benchmarks use, and gives
# each an imported or interface target. scripts/install-deps installs them.

find_package(Threads REQUIRED)
find_package(Boost 1.74 REQUIRED COMPONENTS system filesystem)
find_package(PkgConfig REQUIRED)
pkg_check_modules(TINYXML REQUIRED IMPORTED_TARGET tinyxml)

# wxWidgets: only the base library. Use the wx-config of the architecture
# being built, so that a second installed architecture cannot supply it.
if(NOT wxWidgets_CONFIG_EXECUTABLE)
  file(GLOB _dv_wx_configs
       "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/wx/config/*-unicode-3.*")
  list(SORT _dv_wx_configs)
  list(GET _dv_wx_configs -1 _dv_wx_config)
  set(wxWidgets_CONFIG_EXECUTABLE "${_dv_wx_config}" CACHE FILEPATH
      "wx-config of the target architecture")
endif()
find_package(wxWidgets REQUIRED COMPONENTS base)
add_library(dv_wxbase INTERFACE)
target_include_directories(dv_wxbase SYSTEM INTERFACE ${wxWidgets_INCLUDE_DIRS})
target_compile_definitions(dv_wxbase INTERFACE ${wxWidgets_DEFINITIONS})
target_compile_options(dv_wxbase INTERFACE ${wxWidgets_CXX_FLAGS})
target_link_libraries(dv_wxbase INTERFACE ${wxWidgets_LIBRARIES})
add_library(wx::base ALIAS dv_wxbase)
