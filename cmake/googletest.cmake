# GoogleTest built from Debian's sources (package googletest) with the project's
# compiler, quietly: its own warnings are not ours.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(t gtest gtest_main)
  target_compile_options(${t} PRIVATE -w)
endforeach()
