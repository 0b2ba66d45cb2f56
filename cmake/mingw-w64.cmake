# Shared by the two MinGW-w64 toolchain files, which set CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)
set(TEXWARP_TRIPLE ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)

# Debian's posix-threads compilers: the tests use std::mutex.
set(CMAKE_C_COMPILER ${TEXWARP_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TEXWARP_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TEXWARP_TRIPLE}-windres)

# libpng and OpenEXR come from the project's own build (scripts/build-deps), zlib from
# Debian's libz-mingw-w64-dev.
set(TEXWARP_DEPS "/opt/texwarp-deps" CACHE PATH "where scripts/setup put the Windows libpng")
set(CMAKE_FIND_ROOT_PATH "${TEXWARP_DEPS}/${TEXWARP_TRIPLE}" /usr/${TEXWARP_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ZLIB_USE_STATIC_LIBS ON)

# The executables must run where only the system DLLs exist.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# SSE2 arithmetic on i686 too, not the x87's wider registers: the bake's bytes are the
# same from every build.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
  set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
endif()
