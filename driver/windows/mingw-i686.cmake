# MinGW-w64's cross compiler for the 32-bit x86 kernel image, Lm5520p.sys.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_DLLTOOL i686-w64-mingw32-dlltool)
