# Delay-loaded Windows libraries: the DLLs that only an installation run
# needs (HTTP, Windows Installer, shell, COM, sockets) are loaded by their
# first call instead of at process start, so that the window opens as fast
# as a window with a progress bar can. The delay-import library is made
# from the ordinary import library's list of functions.
function(nuvo_delay_import out_var)
  set(libraries "")
  foreach(name IN LISTS ARGN)
    find_library(NUVO_IMPORT_${name} NAMES lib${name}.a REQUIRED)
    execute_process(COMMAND ${CMAKE_NM} ${NUVO_IMPORT_${name}}
                    OUTPUT_VARIABLE symbols ERROR_QUIET COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX MATCHALL " I __imp_[A-Za-z0-9_@?]+" imports "${symbols}")
    list(TRANSFORM imports REPLACE " I __imp_" "")
    list(REMOVE_DUPLICATES imports)
    list(SORT imports)
    set(dll ${name}.dll)
    set(def ${CMAKE_BINARY_DIR}/delay/${name}.def)
    list(JOIN imports "\n" exports)
    file(WRITE ${def} "LIBRARY ${dll}\nEXPORTS\n${exports}\n")
    set(lib ${CMAKE_BINARY_DIR}/delay/lib${name}_delay.a)
    execute_process(COMMAND ${CMAKE_DLLTOOL} --dllname ${dll} --input-def ${def}
                            --output-delaylib ${lib}
                    COMMAND_ERROR_IS_FATAL ANY)
    list(APPEND libraries ${lib})
  endforeach()
  set(${out_var} ${libraries} PARENT_SCOPE)
endfunction()
