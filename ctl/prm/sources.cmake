target_sources(quillctl_obj PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/prm_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/prm_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/prm_keys.cpp
  ${CMAKE_CURRENT_LIST_DIR}/prm_commands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/prm_checksum.cpp)
