# Deterministic stand-ins for the editor's files, made by zemlo-release-tool, so
# that the program can be built and tested without the real release files.
#
# zemlo_standin_exe(OUTPUT SIZE SUM SEED VERSION): an "MZ" image of SIZE bytes whose
# word sum is SUM (the exact total is 4 * 2^32 + SUM, as of the real release), with
# a version resource of file version VERSION (a.b.c.d), as a release carries.
# zemlo_standin_scripts(OUTPUT SIZE SEED): an opaque script archive.
function(zemlo_standin_exe output size sum seed version)
  cmake_path(GET output PARENT_PATH directory)
  math(EXPR total "0x400000000 + ${sum}" OUTPUT_FORMAT HEXADECIMAL)
  add_custom_command(
    OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${directory}"
    COMMAND "${ZEMLO_RELEASE_TOOL}" standin-exe "${output}" ${size} ${total} ${seed} ${version}
    DEPENDS ${ZEMLO_RELEASE_TOOL_TARGET} "${ZEMLO_RELEASE_TOOL}"
    COMMENT "Generating stand-in ${output}"
    VERBATIM)
endfunction()

function(zemlo_standin_scripts output size seed)
  cmake_path(GET output PARENT_PATH directory)
  add_custom_command(
    OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${directory}"
    COMMAND "${ZEMLO_RELEASE_TOOL}" standin-scripts "${output}" ${size} ${seed}
    DEPENDS ${ZEMLO_RELEASE_TOOL_TARGET} "${ZEMLO_RELEASE_TOOL}"
    COMMENT "Generating stand-in ${output}"
    VERBATIM)
endfunction()

# The stand-in release: the sizes of the real one, and its fingerprint.
set(ZEMLO_STANDIN_EXE_SIZE 1172480)
set(ZEMLO_STANDIN_SCRIPTS_SIZE 123670)
