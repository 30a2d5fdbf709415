# Locates the third-party libraries for the current target.
# Linux: Debian's packages, shared libraries.
# win32: header-only nlohmann json from Debian, GoogleTest from /usr/src/googletest,
# JsonCpp and SQLite cross-built by scripts/build-deps.sh (Debian has no MinGW builds).

if(TARVO_WIN32)
  # Built once into the directory (the script keeps a stamp).
  set(TARVO_WIN32_DEPS ${CMAKE_BINARY_DIR}/../win32-deps CACHE PATH "Cross-built JsonCpp and SQLite")
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/build-deps.sh win32 ${TARVO_WIN32_DEPS}
    RESULT_VARIABLE deps_result)
  if(NOT deps_result EQUAL 0)
    message(FATAL_ERROR "building the win32 dependencies failed (${deps_result})")
  endif()
  get_filename_component(TARVO_WIN32_DEPS "${TARVO_WIN32_DEPS}" ABSOLUTE)
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
  # Debian's shared libcrypto, JsonCpp and SQLite, so that the distribution's security
  # updates reach them (the Debian package depends on their packages through shlibdeps).
  find_package(OpenSSL 3 REQUIRED)
endif()

# JsonCpp's package file (JsonCpp::JsonCpp) and CMake's FindSQLite3 (SQLite::SQLite3):
# Debian's shared libraries on Linux, the cross-built prefix on CMAKE_FIND_ROOT_PATH on
# win32.
find_package(jsoncpp CONFIG REQUIRED)
find_package(SQLite3 REQUIRED)

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
