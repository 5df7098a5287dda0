# Cross build for 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686-win32).
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# The win32 thread model needs no winpthread DLL; libgcc and libstdc++ are
# linked statically, so the .exe imports only the system's own DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(SMFSTREAM_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
