# @brief Cross-compiles for 64-bit Windows with Debian's mingw-w64 (POSIX threads, which
# std::thread and Qt need).
#
# TALLYSCOPE_WIN_PREFIX (or the environment variable of that name) names the folder holding
# the cross-built Qt and libsodium; it is searched for libraries, headers and CMake packages,
# never the build machine's own, which are Linux ones.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)
set(CMAKE_AR ${_triple}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${_triple}-gcc-ranlib-posix CACHE FILEPATH "")

if(NOT TALLYSCOPE_WIN_PREFIX AND DEFINED ENV{TALLYSCOPE_WIN_PREFIX})
  set(TALLYSCOPE_WIN_PREFIX "$ENV{TALLYSCOPE_WIN_PREFIX}")
endif()
# try_compile projects get a fresh cache; hand the prefix on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TALLYSCOPE_WIN_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${_triple} ${TALLYSCOPE_WIN_PREFIX})

# pkg-config (libsodium) must read the Windows libraries' .pc files, never the build machine's.
set(_pc "")
foreach(p IN LISTS TALLYSCOPE_WIN_PREFIX)
  list(APPEND _pc "${p}/lib/pkgconfig")
endforeach()
string(REPLACE ";" ":" _pc "${_pc}")
set(ENV{PKG_CONFIG_LIBDIR} "${_pc}")
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
