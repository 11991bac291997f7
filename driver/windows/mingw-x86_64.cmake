# MinGW-w64's cross compiler for the x86-64 kernel image, Kt2210p.sys.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++)
set(CMAKE_DLLTOOL x86_64-w64-mingw32-dlltool)
