# Debian's layout of the installed files, for the .deb that cpack makes: the manual page
# compressed, the license as the copyright file, and the changelog. Runs at install time, and does
# something only when TILEGRAFT_DEBIAN_LAYOUT is set (CPACK_CUSTOM_INSTALL_VARIABLES), so that
# cmake --install leaves every file as written. TILEGRAFT_MANDIR, TILEGRAFT_DOCDIR,
# TILEGRAFT_SOURCE_DIR and TILEGRAFT_VERSION are set by an install step before this one.
if(NOT TILEGRAFT_DEBIAN_LAYOUT)
  return()
endif()
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(docs "${root}/${TILEGRAFT_DOCDIR}")

# The changelog names the version it packages; a release that forgot it fails here.
file(STRINGS "${TILEGRAFT_SOURCE_DIR}/cmake/debian/changelog" heading LIMIT_COUNT 1)
if(NOT heading MATCHES "^tilegraft \\(${TILEGRAFT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog does not begin with version ${TILEGRAFT_VERSION}")
endif()
file(COPY_FILE "${TILEGRAFT_SOURCE_DIR}/cmake/debian/changelog" "${docs}/changelog")
file(RENAME "${docs}/LICENSE" "${docs}/copyright")

# -n: no name or time stamp in the header, so the same files make the same package.
foreach(file "${root}/${TILEGRAFT_MANDIR}/man1/tilegraft.1" "${docs}/changelog")
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE compressed)
  if(NOT compressed EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${file}")
  endif()
endforeach()
