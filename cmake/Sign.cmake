# Signs a built program with osslsigncode (Authenticode, SHA-256) and, when
# time-stamping authorities are named, time-stamps the signature (RFC 3161,
# SHA-256) by the first of them that answers, so that it stays valid after the
# certificate expires. A program that could not be signed, or not stamped when a
# stamp was asked for, is removed, so that no build leaves it behind unsigned or
# unstamped.
# The key and its certificates come from a PKCS#12 file, or the key stays in a
# token or HSM that its PKCS#11 module reaches (with the certificates in a file);
# the password file holds the PKCS#12 password or the token's PIN.
#   cmake -DOSSLSIGNCODE= -DPROGRAM= (-DPKCS12= | -DPKCS11_MODULE= -DKEY=<pkcs11 URI> -DCERTS=)
#         -DPASSWORD_FILE= -DSIGNER= -DDESCRIPTION= [-DTIMESTAMP_URLS=url1;url2...] -P Sign.cmake
set(signed "${PROGRAM}.signed")
set(stamped "${PROGRAM}.stamped")

# why is one argument: a message given in several would lose all but the first.
function(give_up why)
  if(ARGC GREATER 1)
    message(FATAL_ERROR "give_up takes its message as one argument")
  endif()
  file(REMOVE "${PROGRAM}" "${signed}" "${stamped}")
  message(FATAL_ERROR "${why}")
endfunction()

# A PKCS#11 URI holds ';' between its parts: it is passed quoted, as one argument.
file(REMOVE "${signed}")
if(PKCS12)
  execute_process(
    COMMAND "${OSSLSIGNCODE}" sign -pkcs12 "${PKCS12}" -readpass "${PASSWORD_FILE}" -h sha256
            -n "${DESCRIPTION}" -in "${PROGRAM}" -out "${signed}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output TIMEOUT 300)
else()
  execute_process(
    COMMAND "${OSSLSIGNCODE}" sign -pkcs11module "${PKCS11_MODULE}" -key "${KEY}" -certs "${CERTS}"
            -readpass "${PASSWORD_FILE}" -h sha256 -n "${DESCRIPTION}" -in "${PROGRAM}"
            -out "${signed}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output TIMEOUT 300)
endif()
if(NOT result EQUAL 0 OR NOT EXISTS "${signed}")
  # The cause first, on one line: the first line of osslsigncode's that says what
  # failed; then all it said.
  string(REGEX MATCH "[^\n]*([Ee]rror|[Ff]ailed|[Ii]ncorrect|not found)[^\n]*" cause "${output}")
  if(cause STREQUAL "")
    set(cause "osslsigncode exited with ${result}")
  endif()
  string(STRIP "${cause}" cause)
  give_up("Signing ${PROGRAM} with ${SIGNER} failed: ${cause}\n\nosslsigncode said:\n${output}")
endif()

set(urls "${TIMESTAMP_URLS}")
if(urls)
  set(stamp_url "")
  set(tried "")
  foreach(url IN LISTS urls)
    file(REMOVE "${stamped}")
    # An authority that does not answer must not hold the build up for long.
    execute_process(
      COMMAND "${OSSLSIGNCODE}" add -ts "${url}" -h sha256 -in "${signed}" -out "${stamped}"
      RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error TIMEOUT 120)
    if(result EQUAL 0 AND EXISTS "${stamped}")
      set(stamp_url "${url}")
      break()
    endif()
    string(STRIP "${error}" error)
    string(REGEX REPLACE "\n.*" "" reason "${error}")
    if(reason STREQUAL "")
      set(reason "osslsigncode exited with ${result}")
    endif()
    message(STATUS "Time-stamping authority ${url} gave no time stamp (${reason}); passing over it")
    string(APPEND tried " ${url} (${reason});")
  endforeach()
  if(stamp_url STREQUAL "")
    set(why "No time-stamping authority of ZEMLO_SIGN_TIMESTAMP_URL gave a time stamp:${tried}")
    string(APPEND why " ${PROGRAM} removed rather than left without a time stamp")
    give_up("${why}")
  endif()
  file(RENAME "${stamped}" "${signed}")
endif()

file(RENAME "${signed}" "${PROGRAM}")
if(urls)
  message(STATUS "Signed ${PROGRAM} with ${SIGNER}, time-stamped by ${stamp_url}")
else()
  message(STATUS "Signed ${PROGRAM} with ${SIGNER}, without a time stamp")
endif()
