# CPack settings of the Debian package `tarvo` (included by packaging/CMakeLists.txt).
# Everything the install rules put under the prefix goes into the one package.

execute_process(COMMAND dpkg --print-architecture
  OUTPUT_VARIABLE TARVO_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tarvo toolset team <toolset@tarvo.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TARVO_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the shared libraries the programs and the library link (dpkg-shlibdeps:
# libc, libstdc++, libcrypto, libsqlite3, libjsoncpp), each package named once; shlibs
# and the ldconfig trigger for the library.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# PKCS#11 modules for token work, and the shell to look into Orvask.db.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "softhsm2, opensc, sqlite3")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "client certificate toolset: tokens, key store, compliance, machine id")
# The extended description (CPack puts the summary above it); an empty line is a
# paragraph break.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "ankor creates key pairs and certificate requests, installs certificates and
signs with them, in its own key store or on PKCS#11 tokens; one command per
run, one JSON envelope on standard output.

Orvask decides whether the workstation may be used: it compares the installed
packages with a black list and a white list kept in SQLite and checks the
protected drive. The machine's database is made in /var/lib/tarvo/orvask from
the included schema.

libTarvoHostmark_V_1_0_1_0 computes a machine identifier for C callers and
for Java through JNI; its header and the Java sources are included.")
# The library's ldconfig trigger; postinst makes the machine's Orvask database in
# /var/lib/tarvo/orvask when there is none, postrm removes it on purge.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/triggers
  ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/postrm)

include(CPack)
