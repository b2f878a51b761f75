target_sources(quillctl_obj PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/posix_ops.cpp
  ${CMAKE_CURRENT_LIST_DIR}/com_port.cpp
  ${CMAKE_CURRENT_LIST_DIR}/port_names.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frames.cpp
  ${CMAKE_CURRENT_LIST_DIR}/primitives.cpp
  ${CMAKE_CURRENT_LIST_DIR}/line_procedures.cpp)
