# Cross build of the Windows DLL for 32-bit x86 with Debian's mingw-w64; most
# host programs that load the library are 32-bit.
set(CMAKE_SYSTEM_PROCESSOR X86)
set(SLOTSYNC_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
