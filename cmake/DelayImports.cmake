# The program runs elevated from wherever it was saved, usually the user's
# Downloads folder. A DLL that Windows does not keep in its KnownDLLs list is
# looked for beside the program first, so each one the program imports
# statically would be loaded from there, with administrator rights, before
# the entry point can restrict the search. These DLLs are therefore imported
# on first use (delay-loaded), after the entry point has limited the search
# to the system folder.
#
# For each name a delay-import library is made when CMake configures the
# tree: the toolchain's own import library lists the functions, dlltool -y
# writes the library. A global imported target of the same name then stands
# for the library wherever a target links it by name, so every program of the
# tree (the shipped one, its test builds, the tests) imports them this way.
set(BC_DELAY_LOADED_DLLS winhttp crypt32 wintrust bcrypt dbghelp urlmon wininet comctl32)

if(NOT CMAKE_DLLTOOL OR NOT CMAKE_NM)
    message(FATAL_ERROR "delay-import libraries need dlltool and nm from the toolchain")
endif()

set(bc_delay_dir ${CMAKE_BINARY_DIR}/delay-imports)
file(MAKE_DIRECTORY ${bc_delay_dir})
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # 32-bit names carry the stdcall decoration; -k imports them without it.
    set(bc_imp_prefix "__imp__")
    set(bc_kill_at -k)
else()
    set(bc_imp_prefix "__imp_")
    set(bc_kill_at)
endif()

foreach(dll IN LISTS BC_DELAY_LOADED_DLLS)
    find_library(BC_IMPORT_LIB_${dll} NAMES lib${dll}.a REQUIRED)
    execute_process(COMMAND ${CMAKE_NM} -g --defined-only ${BC_IMPORT_LIB_${dll}}
                    OUTPUT_VARIABLE symbols RESULT_VARIABLE nm_result)
    if(NOT nm_result EQUAL 0)
        message(FATAL_ERROR "cannot read ${BC_IMPORT_LIB_${dll}}")
    endif()
    # Functions only: a name with its import pointer and its code thunk.
    string(REGEX MATCHALL " I ${bc_imp_prefix}[^\n]+" pointers "${symbols}")
    set(def "LIBRARY \"${dll}.dll\"\nEXPORTS\n")
    foreach(pointer IN LISTS pointers)
        string(REGEX REPLACE "^ I ${bc_imp_prefix}" "" name "${pointer}")
        string(REGEX REPLACE "([][+.*?^$()])" "\\\\\\1" quoted "${name}")
        if(CMAKE_SIZEOF_VOID_P EQUAL 4)
            set(thunk "_${quoted}")
        else()
            set(thunk "${quoted}")
        endif()
        if(symbols MATCHES " T ${thunk}\n")
            string(APPEND def "${name}\n")
        endif()
    endforeach()
    set(def_file ${bc_delay_dir}/${dll}.def)
    set(lib_file ${bc_delay_dir}/lib${dll}_delay.a)
    file(WRITE ${def_file}.new "${def}")
    file(COPY_FILE ${def_file}.new ${def_file} ONLY_IF_DIFFERENT)
    if(NOT EXISTS ${lib_file} OR ${def_file} IS_NEWER_THAN ${lib_file})
        execute_process(COMMAND ${CMAKE_DLLTOOL} ${bc_kill_at} -d ${def_file} -y ${lib_file}
                        RESULT_VARIABLE dlltool_result)
        if(NOT dlltool_result EQUAL 0)
            file(REMOVE ${lib_file})
            message(FATAL_ERROR "dlltool could not make ${lib_file}")
        endif()
    endif()
    add_library(${dll} STATIC IMPORTED GLOBAL)
    set_target_properties(${dll} PROPERTIES IMPORTED_LOCATION ${lib_file})
endforeach()
