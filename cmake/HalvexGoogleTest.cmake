# GoogleTest, found in this one place. Native builds use Debian's libgtest-dev. The MinGW cross
# build compiles Debian's googletest sources (package googletest) with the cross compiler, as
# no GoogleTest is built for MinGW. Either way the tests link GTest::gtest (the sources
# define it too).
if(CMAKE_CROSSCOMPILING)
  find_path(HALVEX_GOOGLETEST_SOURCES CMakeLists.txt
            PATHS /usr/src/googletest NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${HALVEX_GOOGLETEST_SOURCES} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)
