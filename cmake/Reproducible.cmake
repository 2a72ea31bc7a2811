# Reproducible programs: one commit gives the same bytes in any checkout
# folder, any build folder and at any time.
#
#   - The compiler records paths in debug information and wherever __FILE__
#     is used. The checkout folder becomes "src" and the build folder "build"
#     (the build folder is mapped last: GCC takes the last mapping that
#     matches, Clang the longest, and a preset's build folder lies inside the
#     checkout).
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

add_compile_options(
    "$<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=src>"
    "$<$<COMPILE_LANGUAGE:CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=build>")
if(WIN32)
    add_link_options(-Wl,--no-insert-timestamp)
endif()
