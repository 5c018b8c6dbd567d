# Cross-build for Windows with Debian's MinGW-w64; the including toolchain
# file sets KORLINTH_MINGW_ARCH (x86_64 or i686).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KORLINTH_MINGW_ARCH})
set(CMAKE_C_COMPILER ${KORLINTH_MINGW_ARCH}-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER ${KORLINTH_MINGW_ARCH}-w64-mingw32-g++)
set(CMAKE_RC_COMPILER ${KORLINTH_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_DLLTOOL ${KORLINTH_MINGW_ARCH}-w64-mingw32-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${KORLINTH_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# No MinGW runtime DLL beside the program: the C and C++ runtimes are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
