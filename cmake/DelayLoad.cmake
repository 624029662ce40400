# Delay-import libraries for DLLs that are not on the system's known-DLL list. A DLL imported
# the ordinary way is resolved by the loader before the program's first instruction, with the
# program's own folder searched first, so a DLL of that name planted beside the stub (in a
# Downloads folder) would run elevated. Delay-loaded, it is loaded on first use, after the
# program has limited the DLL search to the system folder.
#
# velt_delay_import_lib(<out-var> <dll-base-name>): builds lib<name>_delay.a from the import
# library's own symbol list and sets <out-var> to its path.
find_program(VELT_DLLTOOL ${TOOLCHAIN_PREFIX}-dlltool REQUIRED)
find_program(VELT_NM ${TOOLCHAIN_PREFIX}-nm REQUIRED)

function(velt_delay_import_lib out name)
  set(implib /usr/${TOOLCHAIN_PREFIX}/lib/lib${name}.a)
  set(dir ${CMAKE_BINARY_DIR}/delayimp)
  set(def ${dir}/${name}.def)
  set(lib ${dir}/lib${name}_delay.a)
  file(MAKE_DIRECTORY ${dir})
  if(NOT EXISTS ${lib} OR ${implib} IS_NEWER_THAN ${lib})
    execute_process(COMMAND ${VELT_NM} ${implib} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
    # "__imp__Name@N" -> "Name@N"; dlltool -k drops the "@N" from the name looked up in the DLL.
    string(REGEX MATCHALL "__imp__[A-Za-z0-9_]+(@[0-9]+)?" imports "${symbols}")
    list(REMOVE_DUPLICATES imports)
    list(TRANSFORM imports REPLACE "^__imp__" "")
    list(JOIN imports "\n" exports)
    file(WRITE ${def} "LIBRARY ${name}.dll\nEXPORTS\n${exports}\n")
    execute_process(COMMAND ${VELT_DLLTOOL} -k --input-def ${def} --dllname ${name}.dll --output-delaylib ${lib}
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
  set(${out} ${lib} PARENT_SCOPE)
endfunction()
