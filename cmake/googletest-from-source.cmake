# Debian packages GoogleTest's libraries for the build machine only. A cross
# build compiles them from Debian's googletest sources with the cross compiler;
# the sources define the same GTest:: targets that find_package(GTest) gives.
set(KPM_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources compiled for a cross build")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KPM_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
