# Cross build of the 64-bit Windows program with Debian's mingw-w64 (the -posix flavour, whose
# C++ runtime has std::mutex and std::thread). Tests run through Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(kestrun_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${kestrun_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${kestrun_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${kestrun_mingw}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${kestrun_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# zlib as the static archive: the program and the drivers need no DLL beside them.
set(ZLIB_USE_STATIC_LIBS ON)
set(ZLIB_LIBRARY /usr/${kestrun_mingw}/lib/libz.a CACHE FILEPATH "static zlib")
set(ZLIB_INCLUDE_DIR /usr/${kestrun_mingw}/include CACHE PATH "zlib headers")
# wine64 lives outside PATH on Debian.
find_program(KESTRUN_WINE64 wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KESTRUN_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRUN_WINE64})
endif()
