# The release checks that must refuse: an image that is not "MZ", one too large
# for a signed 32-bit length, and builds configured with release files that
# cannot be what they are given as.
#   cmake -DSOURCE= -DWORK= -DTOOL= -DSTANDINS= -DNEW_EXE= -DNEW_SCRIPTS= -DCURRENT_SUM=
#         -DOUTDATED_SUM= -P ReleaseRefusals.cmake
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

# A whole build configured with release files that cannot be what they are given
# as: refused as it is configured, naming the file (or the sums) at fault. The
# settings go in an initial cache, so that a list stays one setting.
# Relative paths are given from started_in (the folder cmake is started in).
function(configure_with what expected)
  set(init "${WORK}/settings.cmake")
  file(WRITE "${init}" "")
  foreach(setting IN ITEMS ZEMLO_RELEASE_EXE ZEMLO_RELEASE_SCRIPTS ZEMLO_OLD_RELEASE_EXES
                           ZEMLO_SUM_CURRENT ZEMLO_SUM_OUTDATED)
    file(APPEND "${init}" "set(${setting} [==[${${setting}}]==] CACHE STRING \"\" FORCE)\n")
  endforeach()
  set(command "${CMAKE_COMMAND}" -C "${init}" -S "${SOURCE}" -B "${WORK}/build"
              -DZEMLO_PROGRAM_TESTS=OFF -DZEMLO_LINT=OFF)
  if(expected STREQUAL "accepted")
    execute_process(COMMAND ${command} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err
                    WORKING_DIRECTORY "${started_in}")
    if(NOT code EQUAL 0)
      message(FATAL_ERROR "${what}: refused, but must be accepted\n${out}${err}")
    endif()
    message(STATUS "${what}: accepted")
  else()
    expect_refusal("${what}" "${expected}" ${command})
  endif()
endfunction()

set(ZEMLO_RELEASE_EXE "${NEW_EXE}")
set(ZEMLO_RELEASE_SCRIPTS "${NEW_SCRIPTS}")
set(ZEMLO_SUM_CURRENT "")
set(ZEMLO_SUM_OUTDATED "")
set(ZEMLO_OLD_RELEASE_EXES "${STANDINS}/old-release-1.exe;${NEW_EXE}")
configure_with("an earlier release with the new one's word sum" "${NEW_EXE};same as the new release")
set(ZEMLO_OLD_RELEASE_EXES "${STANDINS}/old-release-1.exe;${WORK}/not-mz.exe")
configure_with("an earlier release that is no Windows program" "${WORK}/not-mz.exe;MZ")
set(ZEMLO_OLD_RELEASE_EXES "${WORK}/no-such/ZEMLO.exe")
configure_with("an earlier release that is not there" "${WORK}/no-such/ZEMLO.exe;no such file")
set(ZEMLO_OLD_RELEASE_EXES "${STANDINS}/old-release-1.exe")
set(ZEMLO_SUM_CURRENT ${OUTDATED_SUM})
hex_pattern(${OUTDATED_SUM} outdated)
hex_pattern(${CURRENT_SUM} current)
configure_with("a ZEMLO_SUM_CURRENT that is not the new release's" "${outdated};${current}")
set(ZEMLO_SUM_CURRENT "")
set(ZEMLO_SUM_OUTDATED 0x11111111)
configure_with("a ZEMLO_SUM_OUTDATED that is not the earlier releases'" "0x11111111;${outdated}")
set(ZEMLO_SUM_OUTDATED "")
set(ZEMLO_OLD_RELEASE_EXES "${STANDINS}/old-release-1.exe;${STANDINS}/editor-outdated.exe")
configure_with("two files of one earlier release" accepted)
file(STRINGS "${WORK}/build/release-sums.txt" outdated_lines REGEX "^outdated")
list(LENGTH outdated_lines count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "two files of one release are taken for ${count} releases: ${outdated_lines}")
endif()

# Release paths all resolve one way, an empty item dropped: relative ones against
# the folder cmake was started in, whichever setting holds them.
set(started_in "${STANDINS}")
set(ZEMLO_RELEASE_SCRIPTS "${WORK}/scripts-copy.zmdata")
file(COPY_FILE "${NEW_SCRIPTS}" "${ZEMLO_RELEASE_SCRIPTS}")
set(ZEMLO_OLD_RELEASE_EXES "old-release-1.exe;")
configure_with("a relative earlier release with a trailing ';'" accepted)
file(STRINGS "${WORK}/build/release-sums.txt" outdated_lines REGEX "^outdated")
if(NOT outdated_lines MATCHES "\t${STANDINS}/old-release-1.exe$")
  message(FATAL_ERROR "a relative earlier release is not taken from where cmake started: "
                      "${outdated_lines}")
endif()
set(started_in "")

# A release file that gets other bytes and an older date, as cp -p and unzip
# give it, after the build folder was configured: the next build refuses, naming
# it, and once configured again embeds the new bytes.
function(build_images what expected)
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${WORK}/build" --target zemlo_release_images
                  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(REGEX REPLACE "[ \n]+" " " said "${out}${err}")  # CMake wraps its messages
  if(expected STREQUAL "refused" AND (code EQUAL 0 OR NOT said MATCHES
                                      "scripts-copy.zmdata: its bytes changed"))
    message(FATAL_ERROR "${what}: not refused by name\n${out}${err}")
  elseif(NOT expected STREQUAL "refused" AND (NOT code EQUAL 0 OR NOT out MATCHES "${expected}"))
    message(FATAL_ERROR "${what}: not built with ${expected}\n${out}${err}")
  endif()
  message(STATUS "${what}: ${expected}")
endfunction()
build_images("the release as configured" "123670 bytes")
file(WRITE "${WORK}/other.zmdata" "other bytes of another size")
execute_process(COMMAND touch -d 2001-01-01 "${WORK}/other.zmdata" COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND cp -p "${WORK}/other.zmdata" "${ZEMLO_RELEASE_SCRIPTS}"
                COMMAND_ERROR_IS_FATAL ANY)
build_images("a release file with other bytes and an older date" refused)
execute_process(COMMAND "${CMAKE_COMMAND}" "${WORK}/build" OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
build_images("the same, configured again" "27 bytes")
file(REMOVE_RECURSE "${WORK}")
