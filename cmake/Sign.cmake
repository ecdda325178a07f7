# Signs a built program with osslsigncode (Authenticode, SHA-256). A program that
# could not be signed is removed, so that no build leaves it behind unsigned.
#   cmake -DOSSLSIGNCODE= -DPROGRAM= -DPKCS12= -DPASSWORD_FILE= -DDESCRIPTION= -P Sign.cmake
execute_process(
  COMMAND "${OSSLSIGNCODE}" sign -pkcs12 "${PKCS12}" -readpass "${PASSWORD_FILE}" -h sha256
          -n "${DESCRIPTION}" -in "${PROGRAM}" -out "${PROGRAM}.signed"
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE "${PROGRAM}" "${PROGRAM}.signed")
  message(FATAL_ERROR "Signing ${PROGRAM} with ${PKCS12} failed:\n${output}")
endif()
file(RENAME "${PROGRAM}.signed" "${PROGRAM}")
message(STATUS "Signed ${PROGRAM} with ${PKCS12}")
