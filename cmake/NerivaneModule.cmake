# The program's modules: shared objects the program loads at run time
# (nerivane/app/Module.h) that take everything beneath them (the kit, the core,
# the export) from the program, which links all of it and exports it, and
# bring only what is their own.
#
#   nerivane_module_host(PROGRAM LIBRARIES lib...)
#     The program links the libraries whole and exports their symbols;
#     PROGRAM-module-checks builds every module's check (below).
#   nerivane_add_module(NAME PROGRAM program SOURCES_DIR dir LIBRARIES lib...)
#     NAME.so (beside the programs in the build) from the sources under dir,
#     linked with the libraries it names and what they need in turn, except
#     what the program provides: a dependency is named once, on the library
#     that has it. NAME-objects holds the compiled sources for tests to link.
#     NAME-check links the same once more with no symbol left undefined that
#     the program does not export, so a module that would fail to load fails
#     the build instead.

function(nerivane_module_host program)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "LIBRARIES")
  set_target_properties(${program} PROPERTIES ENABLE_EXPORTS ON NERIVANE_MODULE_HOST_LIBRARIES "${arg_LIBRARIES}")
  set(archives "")
  foreach(library ${arg_LIBRARIES})
    list(APPEND archives $<TARGET_FILE:${library}>)
  endforeach()
  # Whole: a module may use what the program itself does not.
  target_link_options(${program} PRIVATE LINKER:--whole-archive ${archives} LINKER:--no-whole-archive)
  add_dependencies(${program} ${arg_LIBRARIES})

  # The symbols it exports, as definitions a check link may take (each only
  # where nothing else defines it).
  set(exports ${CMAKE_CURRENT_BINARY_DIR}/${program}-exports.ld)
  add_custom_command(OUTPUT ${exports}
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DPROGRAM=$<TARGET_FILE:${program}> -DOUTPUT=${exports}
      -P ${CMAKE_SOURCE_DIR}/cmake/ProgramExports.cmake
    DEPENDS ${program} ${CMAKE_SOURCE_DIR}/cmake/ProgramExports.cmake
    COMMENT "Listing the symbols ${program} exports to its modules")
  add_custom_target(${program}-exports DEPENDS ${exports})
  set_target_properties(${program} PROPERTIES NERIVANE_EXPORTS_SCRIPT ${exports})
  # Every module's check (built with everything; scripts/package asks for it).
  add_custom_target(${program}-module-checks ALL)
endfunction()

# The libraries, and every library below them, each before all it links (the
# order a single-pass link of archives needs), in out_var. Imported targets
# and plain names end the walk: they bring their own.
function(_nerivane_libraries_below out_var)
  set(order "")
  set(seen "")
  set(stack ${ARGN})
  list(REVERSE stack)
  # Depth first; "<done>NAME" marks where NAME's own walk ends.
  while(stack)
    list(POP_BACK stack item)
    if(item MATCHES "^<done>(.*)$")
      list(PREPEND order ${CMAKE_MATCH_1})
      continue()
    endif()
    # Links made from another folder are bracketed by ::@ markers.
    if(item IN_LIST seen OR item MATCHES "^::@")
      continue()
    endif()
    if(item MATCHES "^\\$<")
      message(FATAL_ERROR "a module's library links ${item}, which the walk cannot follow")
    endif()
    list(APPEND seen ${item})
    list(APPEND stack "<done>${item}")
    if(TARGET ${item})
      get_target_property(imported ${item} IMPORTED)
      get_target_property(type ${item} TYPE)
      if(imported)
        continue()
      elseif(type STREQUAL "INTERFACE_LIBRARY")
        get_target_property(below ${item} INTERFACE_LINK_LIBRARIES)
      else()
        get_target_property(below ${item} LINK_LIBRARIES)
      endif()
      if(below)
        list(REVERSE below)
        list(APPEND stack ${below})
      endif()
    endif()
  endwhile()
  set(${out_var} ${order} PARENT_SCOPE)
endfunction()

function(nerivane_add_module name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "PROGRAM;SOURCES_DIR" "LIBRARIES")
  get_target_property(provided ${arg_PROGRAM} NERIVANE_MODULE_HOST_LIBRARIES)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${arg_SOURCES_DIR}/*.cpp ${arg_SOURCES_DIR}/*.h)
  add_library(${name}-objects OBJECT ${sources})
  set_target_properties(${name}-objects PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_link_libraries(${name}-objects PUBLIC ${provided} ${arg_LIBRARIES})

  foreach(target ${name} ${name}-check)
    add_library(${target} MODULE $<TARGET_OBJECTS:${name}-objects>)
    # Its sources are compiled (and moc'd) once, in NAME-objects.
    set_target_properties(${target} PROPERTIES PREFIX "" AUTOMOC OFF)
    # Shared libraries it only might need are not recorded.
    target_link_options(${target} PRIVATE LINKER:--as-needed)
  endforeach()
  set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  set_target_properties(${name}-check PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/module-checks)
  # Building the program builds its modules: the tray and metrics stories and the package need them.
  add_dependencies(${arg_PROGRAM} ${name})

  get_target_property(exports ${arg_PROGRAM} NERIVANE_EXPORTS_SCRIPT)
  target_link_options(${name}-check PRIVATE LINKER:--no-undefined ${exports})
  set_target_properties(${name}-check PROPERTIES LINK_DEPENDS ${exports})
  add_dependencies(${name}-check ${arg_PROGRAM}-exports)
  add_dependencies(${arg_PROGRAM}-module-checks ${name}-check)

  # The link items wait for the end of the folder, when every library's own
  # links are known.
  set_target_properties(${name} PROPERTIES NERIVANE_MODULE_LIBRARIES "${arg_LIBRARIES}"
    NERIVANE_MODULE_PROVIDED "${provided}")
  cmake_language(EVAL CODE "cmake_language(DEFER CALL _nerivane_link_module [[${name}]])")
endfunction()

function(_nerivane_link_module name)
  get_target_property(libraries ${name} NERIVANE_MODULE_LIBRARIES)
  get_target_property(provided ${name} NERIVANE_MODULE_PROVIDED)
  # Everything the program links whole, and what those link of our own.
  _nerivane_libraries_below(program_has ${provided})
  _nerivane_libraries_below(items ${libraries})
  set(link "")
  foreach(item ${items})
    if(NOT TARGET ${item})
      list(APPEND link ${item})
      continue()
    endif()
    get_target_property(imported ${item} IMPORTED)
    get_target_property(type ${item} TYPE)
    if(imported)
      # System libraries are shared: the program holds no copy of its own.
      list(APPEND link ${item})
    elseif(item IN_LIST program_has)
      # Taken from the program.
    elseif(type STREQUAL "STATIC_LIBRARY")
      # By file: the target would bring the program's libraries along.
      set_target_properties(${item} PROPERTIES POSITION_INDEPENDENT_CODE ON)
      list(APPEND link $<TARGET_FILE:${item}>)
      foreach(target ${name} ${name}-check)
        add_dependencies(${target} ${item})
      endforeach()
    elseif(NOT type STREQUAL "INTERFACE_LIBRARY")
      message(FATAL_ERROR "module ${name} cannot take ${item} (a ${type}) in")
    endif()
  endforeach()
  foreach(target ${name} ${name}-check)
    target_link_libraries(${target} PRIVATE ${link})
  endforeach()
endfunction()
