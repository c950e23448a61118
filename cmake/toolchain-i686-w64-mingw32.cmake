# Cross-builds the Windows control (TarvoMDrv.ocx) with MinGW-w64 and its
# posix thread model (std::thread, std::mutex), i686.
#   cmake -S . -B build-win32 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TARVO_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TARVO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARVO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TARVO_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TARVO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
