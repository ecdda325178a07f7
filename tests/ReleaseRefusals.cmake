# The release checks that must refuse: an executable that is not "MZ", one too
# large for a signed 32-bit length, and a whole build whose release executable
# has another fingerprint than kSumCurrent.
#   cmake -DSOURCE= -DWORK= -DTOOL= -DSTANDINS= -DSUM_CURRENT= -DSUM_OUTDATED= -P ReleaseRefusals.cmake
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

# The hexadecimal spelling the tool prints, as a pattern.
function(hex_pattern value out)
  math(EXPR hex "${value}" OUTPUT_FORMAT HEXADECIMAL)
  string(TOUPPER "${hex}" hex)
  string(REPLACE "0X" "0X0*" hex "${hex}")
  set(${out} "${hex}" PARENT_SCOPE)
endfunction()

function(expect_refusal what patterns)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(TOUPPER "${out}${err}" said)
  if(code EQUAL 0)
    message(FATAL_ERROR "${what}: accepted, but must be refused\n${out}${err}")
  endif()
  foreach(pattern IN LISTS patterns)
    string(TOUPPER "${pattern}" pattern)
    if(NOT said MATCHES "${pattern}")
      message(FATAL_ERROR "${what}: refused, but the message does not name ${pattern}:\n${out}${err}")
    endif()
  endforeach()
  message(STATUS "${what}: refused")
endfunction()

file(WRITE "${WORK}/scripts.zmdata" "scripts")
file(WRITE "${WORK}/not-mz.exe" "PK this is no program")
expect_refusal("an image without MZ" "MZ"
               "${TOOL}" embed "${WORK}/not-mz.exe" "${WORK}/scripts.zmdata" "${WORK}/out.s" elf)

file(WRITE "${WORK}/huge.exe" "MZ")
execute_process(COMMAND truncate -s 2147483648 "${WORK}/huge.exe" COMMAND_ERROR_IS_FATAL ANY)
expect_refusal("an image of 2^31 bytes" "2147483647"
               "${TOOL}" embed "${WORK}/huge.exe" "${WORK}/scripts.zmdata" "${WORK}/out.s" elf)
file(REMOVE "${WORK}/huge.exe")
if(EXISTS "${WORK}/out.s")
  message(FATAL_ERROR "a refused release still produced ${WORK}/out.s")
endif()

# A whole build, configured with the executable of the outdated release.
execute_process(
  COMMAND "${CMAKE_COMMAND}" -S "${SOURCE}" -B "${WORK}/build" -DZEMLO_WINE_TESTS=OFF
          "-DZEMLO_SUM_CURRENT=${SUM_CURRENT}" "-DZEMLO_SUM_OUTDATED=${SUM_OUTDATED}"
          "-DZEMLO_RELEASE_EXE=${STANDINS}/editor-outdated.exe"
          "-DZEMLO_RELEASE_SCRIPTS=${STANDINS}/scripts-old.zmdata"
  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
hex_pattern(${SUM_OUTDATED} outdated)
hex_pattern(${SUM_CURRENT} current)
expect_refusal("a release executable with another fingerprint" "${outdated};${current}"
               "${CMAKE_COMMAND}" --build "${WORK}/build" --target zemlo_release_images)
