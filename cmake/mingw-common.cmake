# Shared by the mingw-w64 toolchain files; they set SLOTSYNC_MINGW_TRIPLET first.
#
# The -posix compilers are used on purpose: the win32-thread flavour of
# Debian's mingw g++ has no std::thread or std::mutex, which the library uses.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1) # Windows 7, the oldest system the DLL is meant for

set(CMAKE_C_COMPILER ${SLOTSYNC_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SLOTSYNC_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${SLOTSYNC_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SLOTSYNC_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A host program loads slotsync.dll on machines that have no mingw runtime:
# libgcc, libstdc++ and winpthread go into the DLL and every test program, so
# they import system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Windows test programs run under Wine when CTest starts them.
find_program(SLOTSYNC_WINE wine)
if(SLOTSYNC_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${SLOTSYNC_WINE})
endif()
