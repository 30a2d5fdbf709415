# Cross build for 32-bit Windows with the MinGW-w64 posix-thread toolchain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TARVO_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${TARVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  ${TARVO_MINGW_TRIPLET}-windres)

# Search only the MinGW sysroot and the project's own cross-built dependencies;
# never the host's /usr/include, whose glibc headers break MinGW.
set(CMAKE_FIND_ROOT_PATH /usr/${TARVO_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread linked in, so the programs need nothing beyond Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
