# Puts beside Windows programs what they load: the DLLs they import, and what those import in
# turn, found by reading their import tables with objdump; and the plugins of every Qt module
# among them. Windows's own DLLs are not found in the search folders and stay behind.
#
# Run at install time with: QV7_BINARIES (the programs), QV7_SEARCH (folders holding DLLs),
# QV7_PLUGINS (per Qt DLL, "Qt6Gui.dll=TYPE/FILE.dll,..." for its plugins), QV7_OBJDUMP,
# QV7_STRIP and QV7_DESTINATION (the programs' folder).

cmake_policy(VERSION 3.25)

function(qv7_imports binary result)
    execute_process(COMMAND ${QV7_OBJDUMP} -p ${binary} OUTPUT_VARIABLE dump
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "cannot read the imports of ${binary}")
    endif()
    string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${dump}")
    list(TRANSFORM lines REPLACE "DLL Name: " "")
    set(${result} ${lines} PARENT_SCOPE)
endfunction()

# Copied without their symbols: the compiler's runtime carries 20 MB of them.
function(qv7_install file destination)
    file(INSTALL ${file} DESTINATION ${destination})
    get_filename_component(name ${file} NAME)
    execute_process(COMMAND ${QV7_STRIP} --strip-unneeded ${destination}/${name}
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "cannot strip ${destination}/${name}")
    endif()
endfunction()

# Windows matches DLL names without regard to case; the search folders are on Linux.
set(known)
foreach(folder IN LISTS QV7_SEARCH)
    file(GLOB dlls "${folder}/*.dll")
    foreach(dll IN LISTS dlls)
        get_filename_component(name ${dll} NAME)
        string(TOLOWER ${name} key)
        if(NOT DEFINED found_${key})
            set(found_${key} ${dll})
        endif()
    endforeach()
endforeach()

set(pending ${QV7_BINARIES})
set(seen)
set(system)
while(pending)
    list(POP_FRONT pending binary)
    qv7_imports(${binary} imports)
    foreach(import IN LISTS imports)
        string(TOLOWER ${import} key)
        if(key IN_LIST seen)
            continue()
        endif()
        list(APPEND seen ${key})
        if(NOT DEFINED found_${key})
            list(APPEND system ${import})
            continue()
        endif()
        qv7_install(${found_${key}} ${QV7_DESTINATION})
        list(APPEND pending ${found_${key}})
        # A Qt module's plugins load at run time, so no import table names them.
        foreach(entry IN LISTS QV7_PLUGINS)
            string(REPLACE "=" ";" entry "${entry}")
            list(GET entry 0 module)
            string(TOLOWER ${module} module)
            if(module STREQUAL key)
                list(GET entry 1 plugins)
                string(REPLACE "," ";" plugins "${plugins}")
                foreach(plugin IN LISTS plugins)
                    get_filename_component(type ${plugin} DIRECTORY)
                    get_filename_component(type ${type} NAME)
                    qv7_install(${plugin} ${QV7_DESTINATION}/${type})
                    list(APPEND pending ${plugin})
                endforeach()
            endif()
        endforeach()
    endforeach()
endwhile()
list(SORT system CASE INSENSITIVE)
list(JOIN system " " system)
message(STATUS "Left to Windows: ${system}")
