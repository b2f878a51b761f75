# cmake -P CheckBinaryLinkage.cmake -- [--shared BIN...] [--static BIN...]
#
# Looks at built binaries, not at the build files:
#  --shared  the binary must load libquillctl.so.1 (a NEEDED entry) and carry
#            no copy of the library of its own (no defined PRR export and no
#            defined symbol of the library's quill:: namespace);
#  --static  the binary must not load libquillctl.so.1 and must carry the
#            library (the static archive) itself.
# Exits nonzero, naming every binary that breaks its rule.

find_program(READELF readelf)
find_program(NM nm)
if(NOT READELF OR NOT NM)
  message(FATAL_ERROR "readelf and nm (binutils) are needed")
endif()

set(mode "")
set(failures "")
set(checked 0)
# CMAKE_ARGV0..2 are "cmake -P <script>"; the binaries follow "--".
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE 3 ${last})
  set(arg "${CMAKE_ARGV${i}}")
  if(arg STREQUAL "--")
    continue()
  elseif(arg STREQUAL "--shared" OR arg STREQUAL "--static")
    set(mode ${arg})
    continue()
  elseif(mode STREQUAL "")
    message(FATAL_ERROR "a binary before --shared or --static: ${arg}")
  endif()

  if(NOT EXISTS "${arg}")
    list(APPEND failures "${arg}: not built")
    continue()
  endif()
  math(EXPR checked "${checked} + 1")
  get_filename_component(name "${arg}" NAME)
  execute_process(COMMAND ${READELF} -d "${arg}" OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0)
    list(APPEND failures "${name}: readelf failed")
    continue()
  endif()
  set(loads_shared FALSE)
  if(dynamic MATCHES "\\(NEEDED\\)[^\n]*\\[libquillctl\\.so\\.1\\]")
    set(loads_shared TRUE)
  endif()

  execute_process(COMMAND ${NM} --defined-only "${arg}" OUTPUT_VARIABLE symbols RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0)
    list(APPEND failures "${name}: nm failed")
    continue()
  endif()
  set(own_copy "")
  if("\n${symbols}" MATCHES "\n[0-9a-f]+ [TtWwDdBbRr] (PRR[A-Za-z]+|_ZN[KVrO]*5quill[0-9][^\n]*)")
    set(own_copy "${CMAKE_MATCH_1}")
  endif()

  if(mode STREQUAL "--shared")
    if(NOT loads_shared)
      list(APPEND failures "${name}: does not load libquillctl.so.1")
    endif()
    if(own_copy)
      list(APPEND failures "${name}: carries a copy of the library (${own_copy})")
    endif()
  else()
    if(loads_shared)
      list(APPEND failures "${name}: loads libquillctl.so.1")
    endif()
    if(NOT own_copy)
      list(APPEND failures "${name}: carries no copy of the library")
    endif()
  endif()
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "linkage of the control library:\n  ${text}")
endif()
message(STATUS "${checked} binaries link the control library as they should")
