# zemlo_host_tool(NAME SOURCES...): a command-line tool that runs on the build
# machine. In a cross build it is compiled with the build machine's own C++
# compiler; ZEMLO_TOOL_<NAME> names the file and ZEMLO_TOOL_<NAME>_TARGET the
# target to depend on.
function(zemlo_host_tool name)
  set(sources ${ARGN})
  list(TRANSFORM sources PREPEND "${CMAKE_CURRENT_SOURCE_DIR}/")
  if(CMAKE_CROSSCOMPILING)
    find_program(ZEMLO_HOST_CXX NAMES c++ g++ clang++ REQUIRED
                 DOC "C++ compiler for tools that run on the build machine")
    set(output "${CMAKE_BINARY_DIR}/host-tools/${name}")
    file(GLOB headers "${PROJECT_SOURCE_DIR}/Update/*.h")
    add_custom_command(
      OUTPUT "${output}"
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${CMAKE_BINARY_DIR}/host-tools"
      COMMAND "${ZEMLO_HOST_CXX}" -std=c++17 -O2 -Wall -Wextra
              -DZEMLO_SUM_CURRENT=${ZEMLO_SUM_CURRENT}u
              -DZEMLO_SUM_OUTDATED=${ZEMLO_SUM_OUTDATED}u
              -I "${PROJECT_SOURCE_DIR}/Update" ${sources} -o "${output}"
      DEPENDS ${sources} ${headers}
      COMMENT "Building host tool ${name}"
      VERBATIM)
    add_custom_target(${name} DEPENDS "${output}")
  else()
    add_executable(${name} ${sources})
    target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/Update")
    set(output "$<TARGET_FILE:${name}>")
  endif()
  set(ZEMLO_TOOL_${name} "${output}" PARENT_SCOPE)
  set(ZEMLO_TOOL_${name}_TARGET ${name} PARENT_SCOPE)
endfunction()
