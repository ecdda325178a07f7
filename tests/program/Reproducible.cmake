# Builds ZEMLOUpdater.exe twice from scratch, in two build folders of different
# names and depths, and requires byte-identical results: no time stamp and no
# build path may reach the file.
#   cmake -DSOURCE= -DWORK= -DRELEASE_EXE= ... -P Reproducible.cmake
file(REMOVE_RECURSE "${WORK}")
set(BUILD "${WORK}/a")
include("${CMAKE_CURRENT_LIST_DIR}/BuildWindows.cmake")
set(BUILD "${WORK}/second/build-with-a-longer-name")
include("${CMAKE_CURRENT_LIST_DIR}/BuildWindows.cmake")

file(SHA256 "${WORK}/a/ZEMLOUpdater.exe" first)
file(SHA256 "${WORK}/second/build-with-a-longer-name/ZEMLOUpdater.exe" second)
if(NOT first STREQUAL second)
  message(FATAL_ERROR "Two builds of the same sources differ:\n  ${first}\n  ${second}")
endif()
file(READ "${WORK}/a/ZEMLOUpdater.exe" content HEX)
string(HEX "${WORK}" work_hex)
string(HEX "${SOURCE}" source_hex)
foreach(path_hex IN ITEMS "${work_hex}" "${source_hex}")
  string(FIND "${content}" "${path_hex}" at)
  if(NOT at EQUAL -1)
    message(FATAL_ERROR "A build path is written into ZEMLOUpdater.exe")
  endif()
endforeach()
message(STATUS "Two builds are byte-identical: ${first}")
file(REMOVE_RECURSE "${WORK}")
