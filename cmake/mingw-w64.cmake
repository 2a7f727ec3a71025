# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (the POSIX
# threads flavour, which std::thread and Qt need). Used by scripts/windows
# for Qt itself and, through Qt's qt-cmake, for the programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KAVRI_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KAVRI_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KAVRI_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${KAVRI_MINGW}-windres)
# Headers and libraries only from the Windows side, or a Linux one would leak
# into the build; packages from both, since Qt's build finds the host's Qt
# tools (-qt-host-path) through them.
set(CMAKE_FIND_ROOT_PATH /usr/${KAVRI_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
