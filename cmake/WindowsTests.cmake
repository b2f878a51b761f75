# The suites that need no pseudo-terminal, built for Windows and run under
# Wine (CMAKE_CROSSCOMPILING_EMULATOR), label "windows". GoogleTest is built
# from Debian's source package in /usr/src/googletest.
set(QUILLROM_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${QUILLROM_GTEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "${QUILLROM_GTEST_SOURCE} is missing: install googletest")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${QUILLROM_GTEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# quill_add_windows_test(NAME <target> SOURCES <files...> LIBS <libs...> [FILTER <gtest filter>])
function(quill_add_windows_test)
  cmake_parse_arguments(WT "" "NAME;FILTER" "SOURCES;LIBS" ${ARGN})
  add_executable(${WT_NAME} ${WT_SOURCES})
  target_link_libraries(${WT_NAME} PRIVATE ${WT_LIBS} gtest gtest_main Threads::Threads)
  target_include_directories(${WT_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_options(${WT_NAME} PRIVATE -include ${PROJECT_SOURCE_DIR}/tests/windows/compat.h)
  set(filter)
  if(WT_FILTER)
    set(filter --gtest_filter=${WT_FILTER})
  endif()
  add_test(NAME ${WT_NAME} COMMAND ${WT_NAME} --gtest_brief=1 ${filter})
  set_tests_properties(${WT_NAME} PROPERTIES LABELS windows TIMEOUT 300)
endfunction()

add_subdirectory(${PROJECT_SOURCE_DIR}/tests/windows ${PROJECT_BINARY_DIR}/tests/windows)
