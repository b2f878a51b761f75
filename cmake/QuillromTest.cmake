# quill_add_test(NAME <target> LABEL <area> SOURCES <files...> [LIBS <libs...>])
# Registers one GoogleTest executable as a test area carrying its CTest label.
include(GoogleTest)
function(quill_add_test)
  cmake_parse_arguments(QT "" "NAME;LABEL;TIMEOUT" "SOURCES;LIBS;PROPERTIES" ${ARGN})
  add_executable(${QT_NAME} ${QT_SOURCES})
  target_link_libraries(${QT_NAME} PRIVATE ${QT_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${QT_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  if(NOT QT_TIMEOUT)
    set(QT_TIMEOUT 300)
  endif()
  gtest_discover_tests(${QT_NAME}
    PROPERTIES LABELS "${QT_LABEL}" TIMEOUT ${QT_TIMEOUT} ${QT_PROPERTIES}
    DISCOVERY_TIMEOUT 60)
endfunction()
