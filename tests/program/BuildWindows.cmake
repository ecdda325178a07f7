# Configures and builds ZEMLOUpdater.exe with the windows preset in BUILD, with the
# release files and fingerprints the host build tests against.
#   cmake -DSOURCE= -DBUILD= -DRELEASE_EXE= -DRELEASE_SCRIPTS= -DSUM_CURRENT= -DSUM_OUTDATED=
#         -P BuildWindows.cmake
execute_process(
  COMMAND "${CMAKE_COMMAND}" --preset windows -B "${BUILD}"
          "-DZEMLO_RELEASE_EXE=${RELEASE_EXE}" "-DZEMLO_RELEASE_SCRIPTS=${RELEASE_SCRIPTS}"
          "-DZEMLO_SUM_CURRENT=${SUM_CURRENT}" "-DZEMLO_SUM_OUTDATED=${SUM_OUTDATED}"
  WORKING_DIRECTORY "${SOURCE}" OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
cmake_host_system_information(RESULT cores QUERY NUMBER_OF_LOGICAL_CORES)
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${BUILD}" --parallel ${cores}
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
