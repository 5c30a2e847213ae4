# qttest_discover_classes(TARGET [TEST_PREFIX P] [WORKING_DIRECTORY DIR]): the window tests'
# counterpart of gtest_discover_tests. When ctest starts, it asks the built program for its
# test classes ("TARGET --list-classes", one name a line) and adds one test per class, run as
# "TARGET CLASS" in the offscreen platform.
function(qttest_discover_classes target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TEST_PREFIX;WORKING_DIRECTORY" "")
  set(HALVEX_QTTEST_PROGRAM "$<TARGET_FILE:${target}>")
  set(HALVEX_QTTEST_PREFIX "${arg_TEST_PREFIX}")
  set(HALVEX_QTTEST_WORKDIR "${arg_WORKING_DIRECTORY}")
  set(HALVEX_QTTEST_TARGET "${target}")
  set(configured "${CMAKE_CURRENT_BINARY_DIR}/${target}_classes.cmake.in")
  set(script "${CMAKE_CURRENT_BINARY_DIR}/${target}_classes.cmake")
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/QtTestClasses.cmake.in "${configured}" @ONLY)
  file(GENERATE OUTPUT "${script}" INPUT "${configured}")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
endfunction()
