# Cross-compiling for Windows with Debian's MinGW-w64 (posix thread model). WINDOWS_ARCH is
# i686 (32-bit, the default) or x86_64; WINDOWS_PREFIXES names the installs of the static Qt
# and OpenSSL to build against.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT WINDOWS_ARCH)
    set(WINDOWS_ARCH i686)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${WINDOWS_ARCH})
set(triple ${WINDOWS_ARCH}-w64-mingw32)

set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)

# try_compile projects see the architecture and the prefixes too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WINDOWS_ARCH WINDOWS_PREFIXES)
set(CMAKE_FIND_ROOT_PATH /usr/${triple} ${WINDOWS_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(OPENSSL_USE_STATIC_LIBS TRUE)
