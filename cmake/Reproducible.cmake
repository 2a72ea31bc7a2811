# Reproducible programs: one commit gives the same bytes in any checkout
# folder, any build folder and at any time.
#
#   - The compiler records paths in debug information and wherever __FILE__
#     is used. The checkout folder becomes "src" and the build folder "build"
#     (the build folder is mapped last: GCC takes the last mapping that
#     matches, Clang the longest, and a preset's build folder lies inside the
#     checkout). Debug builds keep the real paths, for the debugger and the
#     sanitizers' reports; they are never shipped.
#   - The GNU linker writes the time of the link into the PE header of a
#     Windows program unless told not to. The resource compiler writes no
#     time.
#   - The embedded image sources hold the image's bytes and its base name,
#     nothing of the machine or the time (tools/embed).
#
# Microsoft's compiler and linker are left as they are.
if(MSVC OR NOT CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    return()
endif()

set(_updater_map_paths "$<AND:$<COMPILE_LANGUAGE:CXX>,$<NOT:$<CONFIG:Debug>>>")
add_compile_options(
    "$<${_updater_map_paths}:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=src>"
    "$<${_updater_map_paths}:-ffile-prefix-map=${CMAKE_BINARY_DIR}=build>")
if(WIN32)
    add_link_options(-Wl,--no-insert-timestamp)
endif()
