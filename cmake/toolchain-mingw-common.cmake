set(CMAKE_C_COMPILER   ${PRISMLUX_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PRISMLUX_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${PRISMLUX_TRIPLE}-windres)
set(CMAKE_DLLTOOL      ${PRISMLUX_TRIPLE}-dlltool)
set(CMAKE_OBJDUMP      ${PRISMLUX_TRIPLE}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${PRISMLUX_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Every binary carries its C and C++ runtime (and winpthreads) inside, so that nothing
# but Windows system DLLs is needed at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test binaries run under Wine; the script is written by the top-level CMakeLists.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)
