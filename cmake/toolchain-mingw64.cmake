# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix thread model, so std::thread
# and std::jthread work). Everything is linked statically: kavodown.exe and the test programs need
# no DLL beside them. ctest runs the test programs through Wine and reads their real exit codes.
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KAVO_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KAVO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KAVO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KAVO_MINGW_TRIPLE}-windres)

# Headers and libraries come from the cross sysroot only; programs (cmake's helpers, Wine) from
# the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KAVO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthread go into each program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(KAVO_WINE wine)
if(KAVO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KAVO_WINE})
endif()
