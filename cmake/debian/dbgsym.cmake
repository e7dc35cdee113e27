# Run by CPack after it built the packages (CPACK_POST_BUILD_SCRIPTS). Each
# debug-symbols package (.ddeb) is rebuilt here, in place, as Debian ships
# them (scripts/package then names them .deb):
# - CPack makes its folders under the packager's umask: every entry is made
#   writable by its owner alone, all root's;
# - its md5sums name the files by their path in CPack's staging folder:
#   they are listed again by their path in the package;
# - its documentation is that of the package it belongs to (and depends
#   on): /usr/share/doc/<package>-dbgsym is a link to <package>.
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
    execute_process(COMMAND dpkg-deb --raw-extract "${ddeb}" "${tree}" RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "cannot unpack ${ddeb}")
    endif()
    file(GLOB_RECURSE files RELATIVE "${tree}" "${tree}/usr/*")
    set(md5sums "")
    foreach(file IN LISTS files)
      file(MD5 "${tree}/${file}" sum)
      string(APPEND md5sums "${sum}  ${file}\n")
    endforeach()
    file(WRITE "${tree}/DEBIAN/md5sums" "${md5sums}")
    get_filename_component(name "${ddeb}" NAME)
    string(REGEX REPLACE "-dbgsym_.*" "" package "${name}")
    file(MAKE_DIRECTORY "${tree}/usr/share/doc")
    file(CREATE_LINK "${package}" "${tree}/usr/share/doc/${package}-dbgsym" SYMBOLIC)
    foreach(step "chmod;-R;go-w;${tree}" "dpkg-deb;--root-owner-group;--build;${tree};${ddeb}")
      execute_process(COMMAND ${step} RESULT_VARIABLE failed OUTPUT_QUIET)
      if(failed)
        message(FATAL_ERROR "rebuilding ${ddeb}: ${step} failed")
      endif()
    endforeach()
    file(REMOVE_RECURSE "${tree}")
  endforeach()
endforeach()
