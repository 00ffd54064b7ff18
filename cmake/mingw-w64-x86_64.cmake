# Cross-build for 64-bit Windows with Debian's MinGW-w64 (posix threads).
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DORB_WIN_DEPS=<prefix printed by scripts/windows-deps.sh>
# Programs built here run on this machine through Wine (ctest uses it as the
# cross-compiling emulator).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ORB_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${ORB_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORB_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ORB_MINGW_TRIPLET}-windres)
set(CMAKE_ASM_NASM_COMPILER nasm)

# The dependency prefix must reach try_compile projects too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORB_WIN_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/${ORB_MINGW_TRIPLET})
if(ORB_WIN_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${ORB_WIN_DEPS})
endif()
# Host programs (nasm, objdump...) from the host; libraries, headers and
# packages only from the Windows roots, so no Linux library is ever linked.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config knows nothing of the roots above: only Windows .pc files.
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_LIBDIR} "${ORB_WIN_DEPS}/lib/pkgconfig:/usr/${ORB_MINGW_TRIPLET}/lib/pkgconfig")

# Debian's wine64 loader runs 64-bit programs without the 32-bit half.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(ORB_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
  find_program(ORB_WINE64 NAMES wine64 wine)
  if(ORB_WINE64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${ORB_WINE64})
  endif()
endif()
