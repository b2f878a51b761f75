target_sources(quillctl_obj PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/status_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/progress.cpp
  ${CMAKE_CURRENT_LIST_DIR}/flash_worker.cpp
  ${CMAKE_CURRENT_LIST_DIR}/log_write.cpp)
