# quill_check_link_graph()
# Fails the configure when a linked product (program, shared or module
# library) reaches the control library both as the shipped libquillctl.so.1
# (target quillctl) and as the static archive (quillctl_static, or its object
# library). Such a binary has two copies of every library global (the ring and
# port locks, the clock hook), and a test built that way proves nothing about
# the library as it ships. Call it once, after every folder has been added.

# Targets `target` reaches through link libraries, itself included.
function(_quill_link_closure target out)
  set(seen "")
  set(todo ${target})
  while(todo)
    list(POP_FRONT todo t)
    if(NOT TARGET ${t})
      continue()
    endif()
    get_target_property(real ${t} ALIASED_TARGET)
    if(real)
      set(t ${real})
    endif()
    if(t IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${t})
    foreach(prop LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
      get_target_property(libs ${t} ${prop})
      if(NOT libs)
        continue()
      endif()
      foreach(lib IN LISTS libs)
        # A static library's private dependencies appear as $<LINK_ONLY:x>;
        # other generator expressions never name our own targets.
        if(lib MATCHES "^\\$<LINK_ONLY:([^$<>]+)>$")
          set(lib ${CMAKE_MATCH_1})
        elseif(lib MATCHES "\\$<")
          continue()
        endif()
        list(APPEND todo ${lib})
      endforeach()
    endforeach()
  endwhile()
  set(${out} ${seen} PARENT_SCOPE)
endfunction()

function(_quill_targets_below dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    _quill_targets_below(${sub} more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(quill_check_link_graph)
  _quill_targets_below(${PROJECT_SOURCE_DIR} targets)
  set(offenders "")
  foreach(t IN LISTS targets)
    get_target_property(type ${t} TYPE)
    if(NOT type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY)$" OR t STREQUAL "quillctl")
      continue()
    endif()
    _quill_link_closure(${t} closure)
    if("quillctl" IN_LIST closure AND ("quillctl_static" IN_LIST closure OR "quillctl_obj" IN_LIST closure))
      list(APPEND offenders ${t})
    endif()
  endforeach()
  if(offenders)
    list(JOIN offenders ", " names)
    message(FATAL_ERROR
      "These targets link both the shared quillctl and the static quillctl_static: ${names}. "
      "Link one: quillctl (and quillsim) for anything that runs the library as it ships, "
      "quillctl_static only for suites of the library's internals.")
  endif()
endfunction()
