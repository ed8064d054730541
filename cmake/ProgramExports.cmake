# cmake -DNM=nm -DPROGRAM=file -DOUTPUT=file.ld -P ProgramExports.cmake
# Writes the symbols the program exports (its dynamic symbol table's
# definitions) as a linker script of PROVIDE lines: a module linked with it
# and --no-undefined finds exactly what the program gives it at load.
execute_process(COMMAND ${NM} --dynamic --defined-only --format=posix ${PROGRAM}
  OUTPUT_VARIABLE table COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" lines "${table}")
set(script "/* The symbols ${PROGRAM} exports, written by ProgramExports.cmake. */\n")
foreach(line ${lines})
  # "name type value [size]"; a versioned name ends in @VERSION or @@VERSION.
  if(line MATCHES "^([^ @]+)(@[^ ]*)? ")
    string(APPEND script "PROVIDE(\"${CMAKE_MATCH_1}\" = 0);\n")
  endif()
endforeach()
file(WRITE ${OUTPUT} "${script}")
