# Cross build of the Windows DLL for x86-64 with Debian's mingw-w64.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(SLOTSYNC_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
