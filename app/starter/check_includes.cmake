cmake_minimum_required(VERSION 3.20)
# Fails when a file of the starter's folder NAME (in FOLDER) includes a header of a
# folder that is not in ALLOWED (NAME and the folders it links, comma-separated);
# touches STAMP when every include is allowed.
string(REPLACE "," ";" allowed "${ALLOWED}")
file(GLOB files ${FOLDER}/*.h ${FOLDER}/*.cpp)
set(faults "")
foreach(f IN LISTS files)
  file(STRINGS ${f} lines REGEX "^#include \"app/starter/[a-z_]+/")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "app/starter/([a-z_]+)/" _ "${line}")
    if(NOT CMAKE_MATCH_1 IN_LIST allowed)
      get_filename_component(base ${f} NAME)
      string(APPEND faults "\n  app/starter/${NAME}/${base}: ${line}")
    endif()
  endforeach()
endforeach()
if(faults)
  message(FATAL_ERROR "app/starter/${NAME} includes folders it does not link "
    "(links: ${ALLOWED}); the starter's folders depend one way, see docs/architecture.md:${faults}")
endif()
file(TOUCH ${STAMP})
