target_sources(quillctl_obj PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/sequence_table.cpp
  ${CMAKE_CURRENT_LIST_DIR}/flash_api.cpp)
