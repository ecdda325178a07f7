# The word sums the program is built with: that of the release it installs, and
# those of every earlier release it updates from. From release files, the build
# computes them itself with the updater's own fingerprint code (compiled for the
# build machine as the configure step runs), so no sum is ever typed by hand.
#
#   ZEMLO_RELEASE_EXE        the new editor executable (empty: the stand-in release)
#   ZEMLO_OLD_RELEASE_EXES   the executables of the earlier releases, ';'-separated
#   ZEMLO_SUM_CURRENT, ZEMLO_SUM_OUTDATED
#                            not needed with release files, and refused when they
#                            disagree with them; without, the sums of the stand-ins
#
# Gives the sums the program is built with: ZEMLO_PROGRAM_SUM_CURRENT (0x...),
# ZEMLO_PROGRAM_SUMS_OUTDATED (a list of 0x...) and the first of those,
# ZEMLO_PROGRAM_SUM_FIRST_OUTDATED; ZEMLO_PROGRAM_SUM_DEFINITIONS, the same two as
# the C++ definitions of the same names that every compile of the logic is given;
# and writes them with their files to release-sums.txt in the build folder. A
# changed release file configures again.
set(ZEMLO_RELEASE_EXE "" CACHE FILEPATH
    "The new editor executable to embed (empty: a generated stand-in)")
set(ZEMLO_RELEASE_SCRIPTS "" CACHE FILEPATH
    "The new script archive to embed (empty: a generated stand-in)")
set(ZEMLO_OLD_RELEASE_EXES "" CACHE STRING
    "The executables of every earlier release the updater updates from, separated by ';'")
set(ZEMLO_OLD_RELEASE_SCRIPTS "" CACHE STRING
    "The earlier releases' script archives, in the order of ZEMLO_OLD_RELEASE_EXES, for the tests (empty: generated stand-ins)")
set(ZEMLO_SUM_CURRENT "" CACHE STRING
    "Word sum of the new editor executable (empty: computed from ZEMLO_RELEASE_EXE)")
set(ZEMLO_SUM_OUTDATED "" CACHE STRING
    "Word sums of the earlier releases, ';'-separated (empty: computed from ZEMLO_OLD_RELEASE_EXES)")

# Every release path the same way: a relative one against the folder cmake was
# started in, kept in the cache as an absolute path (links are followed when the
# files are read, not here), so that a later configure, which make starts in the
# build folder, finds the same files. Empty items (a trailing ';') are dropped.
execute_process(COMMAND pwd OUTPUT_VARIABLE zemlo_started_in OUTPUT_STRIP_TRAILING_WHITESPACE)
foreach(setting ZEMLO_RELEASE_EXE ZEMLO_RELEASE_SCRIPTS ZEMLO_OLD_RELEASE_EXES
                ZEMLO_OLD_RELEASE_SCRIPTS)
  set(absolute "")
  foreach(path IN LISTS ${setting})
    if(NOT path STREQUAL "")
      cmake_path(ABSOLUTE_PATH path BASE_DIRECTORY "${zemlo_started_in}" NORMALIZE)
      list(APPEND absolute "${path}")
    endif()
  endforeach()
  if(NOT "${absolute}" STREQUAL "${${setting}}")
    get_property(type CACHE ${setting} PROPERTY TYPE)
    get_property(help CACHE ${setting} PROPERTY HELPSTRING)
    set(${setting} "${absolute}" CACHE ${type} "${help}" FORCE)
  endif()
endforeach()

# The sums of the stand-in releases, and of the release the update first applied to.
set(ZEMLO_STANDIN_SUM_CURRENT 0x4A8ACBE4)
set(ZEMLO_STANDIN_SUM_OUTDATED 0x1F73A4F0)

function(zemlo_hex value out)
  if(NOT value MATCHES "^(0[xX][0-9a-fA-F]+|[0-9]+)$")
    message(FATAL_ERROR "'${value}' is not a word sum (a number, decimal or 0x...)")
  endif()
  math(EXPR hex "${value}" OUTPUT_FORMAT HEXADECIMAL)
  if(hex GREATER 0xFFFFFFFF)
    message(FATAL_ERROR "'${value}' does not fit in 32 bits")
  endif()
  math(EXPR decimal "${value}")
  string(REGEX REPLACE "^0x" "" digits "${hex}")
  string(TOUPPER "${digits}" digits)
  string(LENGTH "${digits}" length)
  math(EXPR padding "8 - ${length}")
  string(REPEAT "0" ${padding} zeros)
  set(${out} "0x${zeros}${digits}" PARENT_SCOPE)
endfunction()

# zemlo-fingerprint built for this machine, once, into the build folder.
function(zemlo_configure_fingerprint_tool out)
  set(tool "${CMAKE_BINARY_DIR}/configure-tools/zemlo-fingerprint")
  set(sources "${PROJECT_SOURCE_DIR}/tools/Fingerprint.cpp"
              "${PROJECT_SOURCE_DIR}/Update/VersionFingerprint.cpp"
              "${PROJECT_SOURCE_DIR}/Update/PlatformPosix.cpp")
  file(GLOB headers "${PROJECT_SOURCE_DIR}/Update/*.h")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${sources} ${headers})
  set(stale FALSE)
  foreach(source IN LISTS sources headers)
    if("${source}" IS_NEWER_THAN "${tool}")  # also when there is no tool yet
      set(stale TRUE)
    endif()
  endforeach()
  if(stale)
    if(CMAKE_CROSSCOMPILING)
      find_program(ZEMLO_HOST_CXX NAMES c++ g++ clang++ REQUIRED
                   DOC "C++ compiler for tools that run on the build machine")
      set(compiler "${ZEMLO_HOST_CXX}")
    else()
      set(compiler "${CMAKE_CXX_COMPILER}")
    endif()
    file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/configure-tools")
    execute_process(
      COMMAND "${compiler}" -std=c++17 -O2 -I "${PROJECT_SOURCE_DIR}/Update" ${sources} -o "${tool}"
      RESULT_VARIABLE result ERROR_VARIABLE error)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "Building the fingerprint tool to read the release files failed:\n${error}")
    endif()
  endif()
  set(${out} "${tool}" PARENT_SCOPE)
endfunction()

# The word sum of an editor executable; refuses, naming the file and the setting,
# one that cannot be read or is no Windows program.
function(zemlo_exe_sum setting file out)
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "${setting}: ${file} cannot be read: there is no such file")
  endif()
  file(READ "${file}" magic LIMIT 2 HEX)
  if(NOT magic STREQUAL "4d5a")
    message(FATAL_ERROR "${setting}: ${file} is not a Windows program (it does not start with \"MZ\")")
  endif()
  zemlo_configure_fingerprint_tool(tool)
  execute_process(COMMAND "${tool}" "${file}" RESULT_VARIABLE result
                  OUTPUT_VARIABLE line ERROR_VARIABLE error)
  if(NOT result EQUAL 0 OR NOT line MATCHES "\t[0-9]+ bytes\t(0x[0-9A-F]+)\t")
    string(STRIP "${error}" error)
    message(FATAL_ERROR "${setting}: ${file} cannot be read: ${error}")
  endif()
  set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()

# ---- The release the updater installs ------------------------------------------------
if(ZEMLO_RELEASE_EXE STREQUAL "")
  set(given "${ZEMLO_SUM_CURRENT}")
  if(given STREQUAL "")
    set(given ${ZEMLO_STANDIN_SUM_CURRENT})
  endif()
  zemlo_hex(${given} ZEMLO_PROGRAM_SUM_CURRENT)
  set(current_file "the stand-in release")
else()
  file(REAL_PATH "${ZEMLO_RELEASE_EXE}" current_file)
  zemlo_exe_sum(ZEMLO_RELEASE_EXE "${current_file}" ZEMLO_PROGRAM_SUM_CURRENT)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${current_file}")
  if(NOT ZEMLO_SUM_CURRENT STREQUAL "")
    zemlo_hex(${ZEMLO_SUM_CURRENT} given)
    if(NOT given STREQUAL ZEMLO_PROGRAM_SUM_CURRENT)
      message(FATAL_ERROR
        "ZEMLO_SUM_CURRENT is ${given}, but ZEMLO_RELEASE_EXE (${current_file}) has the word sum "
        "${ZEMLO_PROGRAM_SUM_CURRENT}. Leave ZEMLO_SUM_CURRENT empty: the build computes it.")
    endif()
  endif()
endif()

# ---- The releases it updates from ----------------------------------------------------
set(ZEMLO_PROGRAM_SUMS_OUTDATED "")
set(outdated_files "")
if(ZEMLO_OLD_RELEASE_EXES STREQUAL "")
  set(given "${ZEMLO_SUM_OUTDATED}")
  if(given STREQUAL "")
    set(given ${ZEMLO_STANDIN_SUM_OUTDATED})
  endif()
  foreach(value IN LISTS given)
    zemlo_hex(${value} sum)
    list(APPEND ZEMLO_PROGRAM_SUMS_OUTDATED ${sum})
    list(APPEND outdated_files "given by ZEMLO_SUM_OUTDATED, or the default")
  endforeach()
else()
  foreach(old IN LISTS ZEMLO_OLD_RELEASE_EXES)
    file(REAL_PATH "${old}" old)
    zemlo_exe_sum(ZEMLO_OLD_RELEASE_EXES "${old}" sum)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${old}")
    if(sum STREQUAL ZEMLO_PROGRAM_SUM_CURRENT)
      message(FATAL_ERROR
        "ZEMLO_OLD_RELEASE_EXES: ${old} has the word sum ${sum}, the same as the new release "
        "(${current_file}): an updater made with it would offer its update again after every "
        "update. Is it the new release, or an old one given twice?")
    endif()
    list(FIND ZEMLO_PROGRAM_SUMS_OUTDATED ${sum} at)
    if(at EQUAL -1)
      list(APPEND ZEMLO_PROGRAM_SUMS_OUTDATED ${sum})
      list(APPEND outdated_files "${old}")
    else()
      list(GET outdated_files ${at} same)
      message(STATUS "ZEMLO Updater: ${old} has the word sum ${sum}, as ${same}: one release")
    endif()
  endforeach()
  if(NOT ZEMLO_SUM_OUTDATED STREQUAL "")
    set(given "")
    foreach(value IN LISTS ZEMLO_SUM_OUTDATED)
      zemlo_hex(${value} sum)
      list(APPEND given ${sum})
    endforeach()
    list(REMOVE_DUPLICATES given)
    list(SORT given)
    set(computed ${ZEMLO_PROGRAM_SUMS_OUTDATED})
    list(SORT computed)
    if(NOT given STREQUAL computed)
      message(FATAL_ERROR
        "ZEMLO_SUM_OUTDATED is ${ZEMLO_SUM_OUTDATED}, but the files of ZEMLO_OLD_RELEASE_EXES have "
        "the word sums ${ZEMLO_PROGRAM_SUMS_OUTDATED}. Leave ZEMLO_SUM_OUTDATED empty: the build computes "
        "them.")
    endif()
  endif()
endif()
list(FIND ZEMLO_PROGRAM_SUMS_OUTDATED ${ZEMLO_PROGRAM_SUM_CURRENT} at)
if(NOT at EQUAL -1)
  message(FATAL_ERROR "The sum ${ZEMLO_PROGRAM_SUM_CURRENT} is both the new release's and an earlier "
                      "one's: an updated editor would be offered the update forever")
endif()

# The bytes of every release file as configured: a build checks them first, so
# that a file with other bytes (copied with an older date, a link pointed
# elsewhere) never goes into a program made with the old sums and images.
set(fingerprints "")
foreach(path IN LISTS ZEMLO_RELEASE_EXE ZEMLO_RELEASE_SCRIPTS ZEMLO_OLD_RELEASE_EXES
                      ZEMLO_OLD_RELEASE_SCRIPTS)
  if(EXISTS "${path}" AND NOT IS_DIRECTORY "${path}")
    file(SHA256 "${path}" digest)
    string(APPEND fingerprints "${digest} ${path}\n")
  endif()
endforeach()
set(ZEMLO_RELEASE_FILE_DIGESTS "${CMAKE_BINARY_DIR}/release-files.sha256")
# Rewritten only when a digest changed: what embeds the files depends on it, so
# that new bytes are embedded again whatever their date.
file(WRITE "${ZEMLO_RELEASE_FILE_DIGESTS}.new" "${fingerprints}")
file(COPY_FILE "${ZEMLO_RELEASE_FILE_DIGESTS}.new" "${ZEMLO_RELEASE_FILE_DIGESTS}" ONLY_IF_DIFFERENT)
file(REMOVE "${ZEMLO_RELEASE_FILE_DIGESTS}.new")

set(record "current\t${ZEMLO_PROGRAM_SUM_CURRENT}\t${current_file}\n")
set(listed "")
foreach(sum file IN ZIP_LISTS ZEMLO_PROGRAM_SUMS_OUTDATED outdated_files)
  string(APPEND record "outdated\t${sum}\t${file}\n")
  string(APPEND listed " ${sum}")
endforeach()
file(WRITE "${CMAKE_BINARY_DIR}/release-sums.txt" "${record}")
list(GET ZEMLO_PROGRAM_SUMS_OUTDATED 0 ZEMLO_PROGRAM_SUM_FIRST_OUTDATED)
string(REPLACE ";" "u," initializers "${ZEMLO_PROGRAM_SUMS_OUTDATED}u")
set(ZEMLO_PROGRAM_SUM_DEFINITIONS "ZEMLO_PROGRAM_SUM_CURRENT=${ZEMLO_PROGRAM_SUM_CURRENT}u"
                                  "ZEMLO_PROGRAM_SUMS_OUTDATED=${initializers}")
message(STATUS "ZEMLO Updater: installs ${ZEMLO_PROGRAM_SUM_CURRENT} (${current_file}); updates from${listed}")
