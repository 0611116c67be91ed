# Run by cpack once the .deb files are written (CPACK_POST_BUILD_SCRIPTS).
# CPack gives a package holding a shared library in /usr/lib a postinst and a
# postrm that only run ldconfig, and dpkg keeps any package with a postrm in
# the "rc" state after dpkg -r, waiting for a purge that has nothing to do.
# Such a package is rewritten with dpkg's ldconfig trigger instead (what
# Debian's own library packages use) and no maintainer scripts, so that
# removing it leaves nothing behind.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "dpkg-deb -R ${deb} failed")
  endif()
  set(rewrite FALSE)
  foreach(script postinst postrm)
    set(path "${tree}/DEBIAN/${script}")
    if(EXISTS "${path}")
      file(STRINGS "${path}" commands REGEX "^[ \t]*[a-z]")
      # Only CPack's own scripts go: an if, ldconfig and fi, nothing else.
      list(FILTER commands EXCLUDE REGEX "^[ \t]*(if |fi$|ldconfig$|set -e$)")
      if(NOT commands STREQUAL "")
        message(FATAL_ERROR "${deb}: ${script} does more than run ldconfig: ${commands}")
      endif()
      file(REMOVE "${path}")
      set(rewrite TRUE)
    endif()
  endforeach()
  if(rewrite)
    file(WRITE "${tree}/DEBIAN/triggers" "activate-noawait ldconfig\n")
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b "${tree}" "${deb}"
                    OUTPUT_QUIET RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "dpkg-deb -b ${deb} failed")
    endif()
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
