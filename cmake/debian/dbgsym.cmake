# Run by CPack after it built the packages (CPACK_POST_BUILD_SCRIPTS). CPack
# makes the folders of the debug-symbols packages (.ddeb) under the
# packager's umask; each is rebuilt here, in place, with every entry
# writable by its owner alone, all root's. (scripts/package names them .deb,
# as Debian ships them.)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(dir "${package}" DIRECTORY)
  list(APPEND dirs "${dir}")
endforeach()
list(REMOVE_DUPLICATES dirs)
foreach(dir IN LISTS dirs)
  file(GLOB ddebs "${dir}/*.ddeb")
  foreach(ddeb IN LISTS ddebs)
    set(tree "${ddeb}.tree")
    file(REMOVE_RECURSE "${tree}")
    foreach(step "dpkg-deb;--raw-extract;${ddeb};${tree}" "chmod;-R;go-w;${tree}"
                 "dpkg-deb;--root-owner-group;--build;${tree};${ddeb}")
      execute_process(COMMAND ${step} RESULT_VARIABLE failed OUTPUT_QUIET)
      if(failed)
        message(FATAL_ERROR "rebuilding ${ddeb}: ${step} failed")
      endif()
    endforeach()
    file(REMOVE_RECURSE "${tree}")
  endforeach()
endforeach()
