target_sources(quillctl_obj PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/tick.cpp
  ${CMAKE_CURRENT_LIST_DIR}/handle_core.cpp
  ${CMAKE_CURRENT_LIST_DIR}/message_queue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/process_locks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/worker_frame.cpp)
# The events a blocking wait watches: eventfd on Linux, kernel events on Windows.
if(WIN32)
  target_sources(quillctl_obj PRIVATE ${CMAKE_CURRENT_LIST_DIR}/wake_event_win32.cpp)
else()
  target_sources(quillctl_obj PRIVATE ${CMAKE_CURRENT_LIST_DIR}/wake_event_posix.cpp)
endif()
