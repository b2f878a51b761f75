target_sources(quillctl_obj PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/hex_records.cpp
  ${CMAKE_CURRENT_LIST_DIR}/elf_reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/load_sources.cpp
  ${CMAKE_CURRENT_LIST_DIR}/load_image.cpp
  ${CMAKE_CURRENT_LIST_DIR}/load_worker.cpp)
