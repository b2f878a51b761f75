# The serial device's link, the port names and the adapter facts are chosen
# here by platform; the in-memory link is always built (tests and fuzzers run
# the sequences over it).
if(WIN32)
  target_sources(quillctl_obj PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/win32_link.cpp
    ${CMAKE_CURRENT_LIST_DIR}/port_names_win32.cpp
    ${CMAKE_CURRENT_LIST_DIR}/adapter_win32.cpp)
elseif(UNIX)
  target_sources(quillctl_obj PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/posix_ops.cpp
    ${CMAKE_CURRENT_LIST_DIR}/termios_link.cpp
    ${CMAKE_CURRENT_LIST_DIR}/port_names.cpp
    ${CMAKE_CURRENT_LIST_DIR}/adapter.cpp)
else()
  message(FATAL_ERROR "No serial link for this platform")
endif()
target_sources(quillctl_obj PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/memory_link.cpp
  ${CMAKE_CURRENT_LIST_DIR}/served_port.cpp
  ${CMAKE_CURRENT_LIST_DIR}/com_port.cpp
  ${CMAKE_CURRENT_LIST_DIR}/port_common.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frames.cpp
  ${CMAKE_CURRENT_LIST_DIR}/primitives.cpp
  ${CMAKE_CURRENT_LIST_DIR}/line_procedures.cpp)
