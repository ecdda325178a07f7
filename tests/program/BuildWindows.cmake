# Configures and builds ZEMLOUpdater.exe with the windows preset in BUILD, with the
# release files and sums the host build tests against. Lists come with '|'
# between their items.
#   cmake -DSOURCE= -DBUILD= -DRELEASE_EXE= -DRELEASE_SCRIPTS= -DOLD_RELEASE_EXES=
#         -DSUM_CURRENT= -DSUM_OUTDATED= -P BuildWindows.cmake
string(REPLACE "|" ";" old_release_exes "${OLD_RELEASE_EXES}")
string(REPLACE "|" ";" sum_outdated "${SUM_OUTDATED}")
execute_process(
  COMMAND "${CMAKE_COMMAND}" --preset windows -B "${BUILD}"
          "-DZEMLO_RELEASE_EXE=${RELEASE_EXE}" "-DZEMLO_RELEASE_SCRIPTS=${RELEASE_SCRIPTS}"
          "-DZEMLO_OLD_RELEASE_EXES=${old_release_exes}"
          "-DZEMLO_SUM_CURRENT=${SUM_CURRENT}" "-DZEMLO_SUM_OUTDATED=${sum_outdated}"
  WORKING_DIRECTORY "${SOURCE}" OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${BUILD}" --parallel ${cores}
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
