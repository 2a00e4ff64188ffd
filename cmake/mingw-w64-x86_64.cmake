# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (posix threads,
# the variant Qt for MinGW is built with) against a Qt for MinGW whose
# prefix is given as ZUV_MINGW_QT (tools/windows/mingw-qt.sh finds it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZUV_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZUV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZUV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZUV_MINGW_TRIPLET}-windres)

if(NOT ZUV_MINGW_QT AND DEFINED ENV{ZUV_MINGW_QT})
    set(ZUV_MINGW_QT $ENV{ZUV_MINGW_QT})
endif()
if(NOT ZUV_MINGW_QT OR NOT EXISTS "${ZUV_MINGW_QT}/lib/cmake/Qt5")
    message(FATAL_ERROR "ZUV_MINGW_QT must name the prefix of a Qt 5 built for MinGW "
                        "(tools/windows/mingw-qt.sh prints it); got \"${ZUV_MINGW_QT}\"")
endif()
# try_compile projects read this file again without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZUV_MINGW_QT)

# Libraries, headers and CMake packages come from the MinGW sysroot and
# the Qt prefix; programs (moc, rcc, qmlcachegen: Linux programs in the Qt
# prefix) run on the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${ZUV_MINGW_TRIPLET} ${ZUV_MINGW_QT})
set(CMAKE_PREFIX_PATH ${ZUV_MINGW_QT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
