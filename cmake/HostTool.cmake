# zemlo_host_tool(NAME SOURCES... [LIBRARIES LIB...] [DEFINITIONS DEF...]): a
# command-line tool that runs on the build machine, linked with the build
# machine's libraries LIB (z for zlib) and compiled with the C++ definitions DEF
# (NAME=VALUE). In a cross build it is compiled with the build machine's own C++
# compiler; ZEMLO_TOOL_<NAME> names the file and ZEMLO_TOOL_<NAME>_TARGET the
# target to depend on.
function(zemlo_host_tool name)
  cmake_parse_arguments(PARSE_ARGV 1 tool "" "" "LIBRARIES;DEFINITIONS")
  set(sources ${tool_UNPARSED_ARGUMENTS})
  list(TRANSFORM sources PREPEND "${CMAKE_CURRENT_SOURCE_DIR}/")
  set(libraries ${tool_LIBRARIES})
  list(TRANSFORM libraries PREPEND "-l")
  set(definitions ${tool_DEFINITIONS})
  list(TRANSFORM definitions PREPEND "-D")
  if(CMAKE_CROSSCOMPILING)
    find_program(ZEMLO_HOST_CXX NAMES c++ g++ clang++ REQUIRED
                 DOC "C++ compiler for tools that run on the build machine")
    set(output "${CMAKE_BINARY_DIR}/host-tools/${name}")
    file(GLOB headers "${PROJECT_SOURCE_DIR}/Update/*.h")
    add_custom_command(
      OUTPUT "${output}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/host-tools"
      COMMAND "${ZEMLO_HOST_CXX}" -std=c++17 -O2 -Wall -Wextra ${definitions}
              -I "${PROJECT_SOURCE_DIR}/Update" ${sources} ${libraries} -o "${output}"
      DEPENDS ${sources} ${headers}
      COMMENT "Building host tool ${name}"
      VERBATIM)
    add_custom_target(${name} DEPENDS "${output}")
  else()
    add_executable(${name} ${sources})
    target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/Update")
    target_link_libraries(${name} PRIVATE ${tool_LIBRARIES})
    target_compile_definitions(${name} PRIVATE ${tool_DEFINITIONS})
    set(output "$<TARGET_FILE:${name}>")
  endif()
  set(ZEMLO_TOOL_${name} "${output}" PARENT_SCOPE)
  set(ZEMLO_TOOL_${name}_TARGET ${name} PARENT_SCOPE)
endfunction()
