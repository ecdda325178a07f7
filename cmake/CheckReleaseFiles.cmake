# Refuses a build whose release files no longer hold the bytes the build was
# configured with: a file copied over with an older date (cp -p, unzip) or a link
# pointed at another file would otherwise leave the program with the old image
# and the old sums. Configuring again takes the new bytes with their sums.
#   cmake -DDIGESTS=<build>/release-files.sha256 -DBUILD=<build> -P CheckReleaseFiles.cmake
file(STRINGS "${DIGESTS}" lines)
foreach(line IN LISTS lines)
  string(SUBSTRING "${line}" 0 64 configured)
  string(SUBSTRING "${line}" 65 -1 path)
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "${path}: the release file this build was configured with is gone; "
                        "configure again (cmake ${BUILD}) with the release files to ship")
  endif()
  file(SHA256 "${path}" now)
  if(NOT now STREQUAL configured)
    message(FATAL_ERROR "${path}: its bytes changed since this build was configured (SHA-256 "
                        "${configured}, now ${now}), whatever its date says; configure again "
                        "(cmake ${BUILD}) so that the program carries the new bytes and sums")
  endif()
endforeach()
