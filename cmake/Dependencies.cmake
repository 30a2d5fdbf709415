# Locates the third-party libraries for the current target.
# Linux: Debian's packages; outside the sanitizer build JsonCpp and SQLite as static
# libraries (JsonCpp built from Debian's source by scripts/build-deps.sh).
# win32: header-only nlohmann json from Debian, GoogleTest from /usr/src/googletest,
# JsonCpp and SQLite cross-built by scripts/build-deps.sh.

# Runs scripts/build-deps.sh for TARGET (linux or win32) into the directory named by the
# variable DIR_VARIABLE (once: the script keeps a stamp), stops the configure if it fails,
# and makes the path absolute.
function(tarvo_build_deps target dir_variable what)
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/build-deps.sh ${target} ${${dir_variable}}
    RESULT_VARIABLE deps_result)
  if(NOT deps_result EQUAL 0)
    message(FATAL_ERROR "building ${what} failed (${deps_result})")
  endif()
  get_filename_component(absolute "${${dir_variable}}" ABSOLUTE)
  set(${dir_variable} ${absolute} PARENT_SCOPE)
endfunction()

if(TARVO_WIN32)
  set(TARVO_WIN32_DEPS ${CMAKE_BINARY_DIR}/../win32-deps CACHE PATH "Cross-built JsonCpp and SQLite")
  tarvo_build_deps(win32 TARVO_WIN32_DEPS "the win32 dependencies")
  list(APPEND CMAKE_FIND_ROOT_PATH ${TARVO_WIN32_DEPS}/prefix)

  # Only /usr/include/nlohmann, through a directory of its own.
  set(nlohmann_dir ${CMAKE_BINARY_DIR}/include-nlohmann)
  file(MAKE_DIRECTORY ${nlohmann_dir})
  file(CREATE_LINK /usr/include/nlohmann ${nlohmann_dir}/nlohmann SYMBOLIC)
  add_library(nlohmann_json INTERFACE)
  target_include_directories(nlohmann_json SYSTEM INTERFACE ${nlohmann_dir})
  add_library(nlohmann_json::nlohmann_json ALIAS nlohmann_json)

else()
  find_package(nlohmann_json 3 CONFIG REQUIRED)
  # libcrypto stays a shared library, so that the distribution's security updates reach it.
  find_package(OpenSSL 3 REQUIRED)
  # ankor opens it at run time by its SONAME (ankor/capi/libcrypto_linux.h), and the
  # Debian package names the package that holds it.
  if(NOT CMAKE_READELF)
    message(FATAL_ERROR "readelf is needed to read libcrypto's SONAME")
  endif()
  execute_process(COMMAND ${CMAKE_READELF} -d ${OPENSSL_CRYPTO_LIBRARY}
    OUTPUT_VARIABLE libcrypto_dynamic COMMAND_ERROR_IS_FATAL ANY)
  if(NOT libcrypto_dynamic MATCHES "Library soname: \\[([^]]+)\\]")
    message(FATAL_ERROR "${OPENSSL_CRYPTO_LIBRARY} has no SONAME")
  endif()
  set(TARVO_LIBCRYPTO_SONAME ${CMAKE_MATCH_1})

  # The programs start faster without the dynamic loader relocating JsonCpp and SQLite:
  # both are linked statically, built once from Debian's sources by scripts/build-deps.sh,
  # through the same finders as below. Not under the sanitizers, which keep Debian's
  # shared libraries.
  if(TARVO_SANITIZE)
    set(tarvo_static_default OFF)
  else()
    set(tarvo_static_default ON)
  endif()
  option(TARVO_STATIC_DEPS "Linux: link JsonCpp, SQLite, libstdc++ and libgcc into the programs"
    ${tarvo_static_default})
  if(TARVO_STATIC_DEPS)
    set(TARVO_LINUX_DEPS ${CMAKE_BINARY_DIR}/../linux-deps CACHE PATH "Static JsonCpp built from Debian's source")
    tarvo_build_deps(linux TARVO_LINUX_DEPS "the static Linux dependencies")
    set(jsoncpp_DIR ${TARVO_LINUX_DEPS}/prefix/lib/cmake/jsoncpp CACHE PATH "JsonCpp's package file" FORCE)
    set(SQLite3_INCLUDE_DIR ${TARVO_LINUX_DEPS}/prefix/include CACHE PATH "SQLite headers" FORCE)
    set(SQLite3_LIBRARY ${TARVO_LINUX_DEPS}/prefix/lib/libsqlite3.a CACHE FILEPATH "SQLite library" FORCE)
  endif()
endif()

# JsonCpp's package file (JsonCpp::JsonCpp) and CMake's FindSQLite3 (SQLite::SQLite3):
# on Linux the static libraries above or, under the sanitizers, Debian's shared ones; on
# win32 the cross-built prefix on CMAKE_FIND_ROOT_PATH.
find_package(jsoncpp CONFIG REQUIRED)
find_package(SQLite3 REQUIRED)
if(TARVO_LINUX AND TARVO_STATIC_DEPS)
  # What the static SQLite library itself needs (built without loadable extensions).
  find_package(Threads REQUIRED)
  set_property(TARGET SQLite::SQLite3 APPEND PROPERTY INTERFACE_LINK_LIBRARIES Threads::Threads)
endif()

# tarvo_program(TARGET): the link options of a delivered program. On Linux (outside
# the sanitizer build) libstdc++ and libgcc are linked in, like JsonCpp and SQLite
# above, and the program's own relative relocations are packed (DT_RELR, glibc 2.36),
# which the loader applies in a fraction of the instructions; the win32 toolchain file
# already links everything statically.
if(TARVO_LINUX)
  include(CheckLinkerFlag)
  check_linker_flag(CXX "-Wl,-z,pack-relative-relocs" TARVO_LINKER_HAS_RELR)
endif()
function(tarvo_program target)
  if(TARVO_LINUX AND TARVO_STATIC_DEPS)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
    # libc comes before the libraries the compiler driver adds, and a library no symbol
    # is taken from is dropped: the few math calls of JsonCpp and the C++ runtime (modf,
    # frexp, ldexp) are in libc too, so libm is not loaded at every start.
    target_link_options(${target} PRIVATE -Wl,--as-needed)
    target_link_libraries(${target} PRIVATE -Wl,-lc)
    if(TARVO_LINKER_HAS_RELR)
      target_link_options(${target} PRIVATE -Wl,-z,pack-relative-relocs)
    endif()
  endif()
endfunction()

# Cryptoki header (p11-kit's plain C header), usable by both targets.
find_path(TARVO_PKCS11_INCLUDE_DIR p11-kit/pkcs11.h
  PATHS /usr/include/p11-kit-1 NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(pkcs11_dir ${CMAKE_BINARY_DIR}/include-pkcs11)
file(MAKE_DIRECTORY ${pkcs11_dir})
file(CREATE_LINK ${TARVO_PKCS11_INCLUDE_DIR}/p11-kit ${pkcs11_dir}/p11-kit SYMBOLIC)
add_library(tarvo_pkcs11_headers INTERFACE)
target_include_directories(tarvo_pkcs11_headers SYSTEM INTERFACE ${pkcs11_dir})

# GoogleTest from the Debian source tree, built with this target's compiler and flags.
if(BUILD_TESTING)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()
