# Cross-build for 64-bit Windows with Debian's mingw-w64 (the POSIX-threads
# flavour, so that std::thread and std::mutex work), tests run under Wine.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(LUMBRA_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${LUMBRA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LUMBRA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${LUMBRA_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${LUMBRA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One .exe: the C++ runtime, libgcc and winpthreads linked in, so nothing but
# Windows' own DLLs is needed beside the program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")


# Target programs (tests, test discovery, the language file generator) run
# through Wine: cmake/Windows.cmake sets that up, with a prefix in the build.
