# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 in its posix thread model (the one
# the Qt for MinGW was built with: std::thread and friends need it).
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_PREFIX_PATH=<Qt for MinGW>
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUORBEL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUORBEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORBEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORBEL_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QUORBEL_MINGW_TRIPLET})
# Host programs (moc, rcc, python) from the host; libraries and headers from the target only;
# packages (the Qt for MinGW, named by CMAKE_PREFIX_PATH) from where they are.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
