target_sources(quillctl_obj PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/sequence_common.cpp
  ${CMAKE_CURRENT_LIST_DIR}/handover.cpp
  ${CMAKE_CURRENT_LIST_DIR}/connect.cpp
  ${CMAKE_CURRENT_LIST_DIR}/blank_check.cpp
  ${CMAKE_CURRENT_LIST_DIR}/erase.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stream_range.cpp
  ${CMAKE_CURRENT_LIST_DIR}/program_verify.cpp
  ${CMAKE_CURRENT_LIST_DIR}/security_checksum_signature.cpp)
