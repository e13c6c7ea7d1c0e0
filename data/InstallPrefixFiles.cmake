# Runs at install time: the user unit and the man page name paths under the prefix that
# `cmake --install --prefix` (or CPack) installs into, which may not be the configured one.
set(TIDEMARK_INSTALL_FULL_BINDIR "${CMAKE_INSTALL_PREFIX}/${TIDEMARK_INSTALL_BINDIR}")
set(TIDEMARK_INSTALL_FULL_LIBEXECDIR "${CMAKE_INSTALL_PREFIX}/${TIDEMARK_INSTALL_LIBEXECDIR}")
set(TIDEMARK_INSTALL_FULL_SYSTEMD_USERUNITDIR "${CMAKE_INSTALL_PREFIX}/${TIDEMARK_INSTALL_SYSTEMD_USERUNITDIR}")

set(out "${TIDEMARK_DATA_BINARY_DIR}/prefixed")
configure_file("${TIDEMARK_DATA_SOURCE_DIR}/tidemark.service.in" "${out}/tidemark.service" @ONLY)
configure_file("${TIDEMARK_DATA_SOURCE_DIR}/tidemark.1.in" "${out}/tidemark.1" @ONLY)
# Debian wants man pages compressed, reproducibly (-n: no name or time stamp inside).
execute_process(COMMAND "${GZIP}" -9n -c "${out}/tidemark.1" OUTPUT_FILE "${out}/tidemark.1.gz" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip of the man page failed: ${status}")
endif()
file(INSTALL "${out}/tidemark.service" DESTINATION "${TIDEMARK_INSTALL_FULL_SYSTEMD_USERUNITDIR}")
file(INSTALL "${out}/tidemark.1.gz" DESTINATION "${CMAKE_INSTALL_PREFIX}/${TIDEMARK_INSTALL_MANDIR}/man1")
