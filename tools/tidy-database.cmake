# Writes OUT/compile_commands.json: the compile database of BUILD with one
# entry per source file. Test builds compile the port code again for every
# folder of links, and clang-tidy would otherwise check the file once per
# entry.
#   cmake -DBUILD=<build dir> -DOUT=<folder> -P tools/tidy-database.cmake
cmake_minimum_required(VERSION 3.25)
file(READ ${BUILD}/compile_commands.json _all)
string(JSON _count LENGTH "${_all}")
set(_seen "")
set(_kept "")
math(EXPR _last "${_count} - 1")
foreach(_i RANGE ${_last})
    string(JSON _entry GET "${_all}" ${_i})
    string(JSON _file GET "${_entry}" file)
    if(NOT _file IN_LIST _seen)
        list(APPEND _seen "${_file}")
        if(_kept STREQUAL "")
            set(_kept "${_entry}")
        else()
            string(APPEND _kept ",\n${_entry}")
        endif()
    endif()
endforeach()
file(MAKE_DIRECTORY ${OUT})
file(WRITE ${OUT}/compile_commands.json "[\n${_kept}\n]\n")
