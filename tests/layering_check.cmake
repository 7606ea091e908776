# Fails when a folder includes a header of a folder below which it stands (engine and commands ->
# bitmap -> platform, common beside them all), or when anything outside platform/ includes a
# system header. The commands are the script's handlers, so they may see the engine's header.
# Run as: cmake -DSOURCE_DIR=... -P layering_check.cmake
set(rules
  "common:engine,commands,bitmap,platform"
  "platform:engine,commands,bitmap"
  "bitmap:engine,commands")
set(systemHeaders "^#include <(unistd|fcntl|signal|dirent|windows|io|poll|spawn|termios)\\.h>|^#include <sys/")
foreach(rule IN LISTS rules)
  string(REPLACE ":" ";" parts "${rule}")
  list(GET parts 0 lower)
  list(GET parts 1 uppers)
  string(REPLACE "," "|" uppers "${uppers}")
  file(GLOB sources "${SOURCE_DIR}/${lower}/*.h" "${SOURCE_DIR}/${lower}/*.cpp")
  foreach(source IN LISTS sources)
    if(source MATCHES "_test\\.cpp$")
      continue()
    endif()
    file(STRINGS "${source}" includes REGEX "^#include \"(${uppers})/")
    if(includes)
      message(SEND_ERROR "${source} includes a higher layer: ${includes}")
    endif()
  endforeach()
endforeach()
foreach(folder IN ITEMS engine commands bitmap common)
  file(GLOB sources "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp")
  foreach(source IN LISTS sources)
    if(source MATCHES "_test\\.cpp$")
      continue()
    endif()
    file(STRINGS "${source}" includes REGEX "${systemHeaders}")
    if(includes)
      message(SEND_ERROR "${source} calls the system directly (that belongs in platform/): ${includes}")
    endif()
  endforeach()
endforeach()
