# Runs the demo in a fresh directory and checks that the pictures of the README and the user guide
# show what it really produces, and that the layout diagram is what docs/draw_layout.py draws.
# Run as: cmake -DTOOL=... -DSAMPLES=... -DPYTHON=... -DWORK_DIR=... -P docs_pictures_check.cmake
get_filename_component(source_dir "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
set(docs "${source_dir}/docs")

function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${WORK_DIR}" RESULT_VARIABLE status
                  OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}${err}")
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
run("${SAMPLES}" "${WORK_DIR}")
file(COPY "${source_dir}/examples/demo.tgs" DESTINATION "${WORK_DIR}")
run("${TOOL}" demo.tgs)
run("${PYTHON}" "${docs}/bmp_to_png.py" --check sheet.bmp "${docs}/demo-before.png")
run("${PYTHON}" "${docs}/bmp_to_png.py" --check stamps.bmp "${docs}/demo-stamps.png")
run("${PYTHON}" "${docs}/bmp_to_png.py" --check demo-out.bmp "${docs}/demo-after.png")
run("${PYTHON}" "${docs}/draw_layout.py" --check "${docs}/tile-layout.png")
run("${TOOL}" --check --plan plan.bmp demo.tgs)
run("${PYTHON}" "${docs}/bmp_to_png.py" --check plan.bmp "${docs}/demo-plan.png")
file(REMOVE_RECURSE "${WORK_DIR}")
