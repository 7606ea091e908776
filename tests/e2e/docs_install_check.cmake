# Installs the build in BUILD_DIR under a fresh PREFIX and checks that the executable lands in
# bin/ and runs, and that the manual page lands in share/man/man1 as written.
# Run as: cmake -DBUILD_DIR=... -DPREFIX=... -P docs_install_check.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE installed OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT installed EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${log}")
endif()

set(tool "${PREFIX}/bin/tilegraft")
set(page "${PREFIX}/share/man/man1/tilegraft.1")
if(NOT EXISTS "${tool}")
  message(FATAL_ERROR "not installed: ${tool}\n${log}")
endif()
if(NOT EXISTS "${page}")
  message(FATAL_ERROR "not installed: ${page}\n${log}")
endif()

# Without a script the installed tool says so, prints its syntax line and exits with 255.
execute_process(COMMAND "${tool}" RESULT_VARIABLE status ERROR_VARIABLE syntax)
if(NOT status EQUAL 255 OR NOT syntax MATCHES "\nSyntax:   tilegraft  patchScriptFileName\n")
  message(FATAL_ERROR "installed tool misbehaves: status ${status}, standard error '${syntax}'")
endif()

get_filename_component(source_dir "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
file(SHA256 "${page}" installed_page)
file(SHA256 "${source_dir}/docs/tilegraft.1" written_page)
if(NOT installed_page STREQUAL written_page)
  message(FATAL_ERROR "installed manual page differs from docs/tilegraft.1")
endif()
file(REMOVE_RECURSE "${PREFIX}")
message(STATUS "tool and manual page installed under ${PREFIX}")
