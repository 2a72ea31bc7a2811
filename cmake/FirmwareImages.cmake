# The firmware image that each deliverable carries.
#
# Every deliverable in UPDATER_DELIVERABLES gets an OBJECT library
# <deliverable>-image that defines firmwareImage (image/firmware_image.h) from
# one ARC ELF file. The file is named by a cache variable per deliverable:
#
#   UPDATER_IMAGE_QPSK1_CI_SLAVE    image of updater-qpsk1-ci-slave
#   UPDATER_IMAGE_OFDM1_CI_MASTER   image of updater-ofdm1-ci-master
#   UPDATER_IMAGE_OFDM2             image of updater-ofdm2
#   UPDATER_IMAGE_OFDM1             image of updater-ofdm1
#
# They default to the files in firmware/. To ship real firmware, either point
# the variable at the file (cmake -DUPDATER_IMAGE_OFDM2=/path/to/file.out) or
# replace the file in firmware/, and rebuild. The carried name (elfFileName,
# and so the conversion file "qpsk_<name>") is the file's base name, which
# must have 1 to 63 printable ASCII characters.
#
# The build checks every image with the updater_embed tool (tools/embed) and
# stops with a message naming the file and the fault when the image is not
# usable. The tool runs on the build machine:
#   - native builds compile it as an ordinary target;
#   - cross builds (e.g. to Windows with x86_64-w64-mingw32-g++) compile it
#     as a separate project with the build machine's compiler,
#     UPDATER_HOST_CXX, unless UPDATER_EMBED_TOOL names a prebuilt tool.
# Afterwards UPDATER_EMBED_COMMAND holds the tool's path (possibly a generator
# expression) and UPDATER_EMBED_DEPENDS what a command running it depends on;
# UPDATER_CARRIED_NAME_<deliverable> holds the carried name.
#
# Native builds also get updater_firmware_gen (tools/firmware), the generator
# of the four stand-in images in firmware/, and the target firmware-regenerate
# that rewrites them.

set(UPDATER_EMBED_TOOL "" CACHE FILEPATH
    "Prebuilt updater_embed for the build machine; empty builds it from tools/embed")
set(UPDATER_HOST_CXX "c++" CACHE STRING
    "C++ compiler of the build machine, used for updater_embed in cross builds")

if(NOT CMAKE_CROSSCOMPILING)
    add_subdirectory(tools/firmware)
endif()

if(UPDATER_EMBED_TOOL)
    set(UPDATER_EMBED_COMMAND ${UPDATER_EMBED_TOOL})
    set(UPDATER_EMBED_DEPENDS ${UPDATER_EMBED_TOOL})
elseif(NOT CMAKE_CROSSCOMPILING)
    add_subdirectory(tools/embed)
    set(UPDATER_EMBED_COMMAND $<TARGET_FILE:updater_embed>)
    set(UPDATER_EMBED_DEPENDS updater_embed)
else()
    include(ExternalProject)
    if(CMAKE_HOST_WIN32)
        set(_updater_host_suffix .exe)
    else()
        set(_updater_host_suffix "")
    endif()
    set(_updater_host_dir ${CMAKE_BINARY_DIR}/host-tools/embed)
    ExternalProject_Add(updater_embed_host
        SOURCE_DIR ${PROJECT_SOURCE_DIR}/tools/embed
        BINARY_DIR ${_updater_host_dir}
        CMAKE_ARGS
            -DCMAKE_CXX_COMPILER=${UPDATER_HOST_CXX}
            -DCMAKE_BUILD_TYPE=Release
        INSTALL_COMMAND ""
        BUILD_ALWAYS ON
        BUILD_BYPRODUCTS ${_updater_host_dir}/updater_embed${_updater_host_suffix})
    set(UPDATER_EMBED_COMMAND ${_updater_host_dir}/updater_embed${_updater_host_suffix})
    set(UPDATER_EMBED_DEPENDS updater_embed_host ${UPDATER_EMBED_COMMAND})
endif()

# Deliverable -> default image file in firmware/.
set(_updater_image_updater-qpsk1-ci-slave qpsk1_ci_slave_varek_V1.00.39_1.00c.fl.out)
set(_updater_image_updater-ofdm1-ci-master ofdm1_ci_master_varek_V1.03.59_1.0c.fl.out)
set(_updater_image_updater-ofdm2 ofdm2_varek_V1.01.180_2.02c.fl.out)
set(_updater_image_updater-ofdm1 ofdm1_varek_V1.01.180_2.00c.fl.out)

# Ninja creates the folder of a command's output itself; the Makefile
# generators do not.
set(_updater_image_dir ${CMAKE_BINARY_DIR}/firmware-images)
file(MAKE_DIRECTORY ${_updater_image_dir})

foreach(deliverable IN LISTS UPDATER_DELIVERABLES)
    # updater-ofdm1-ci-master -> UPDATER_IMAGE_OFDM1_CI_MASTER
    string(REGEX REPLACE "^updater-" "" _updater_var ${deliverable})
    string(TOUPPER ${_updater_var} _updater_var)
    string(REPLACE "-" "_" _updater_var UPDATER_IMAGE_${_updater_var})

    if(DEFINED _updater_image_${deliverable})
        set(_updater_default ${PROJECT_SOURCE_DIR}/firmware/${_updater_image_${deliverable}})
    else()
        set(_updater_default "")
    endif()
    set(${_updater_var} ${_updater_default} CACHE FILEPATH
        "ARC ELF firmware image carried by ${deliverable}; its base name is the carried file name")
    set(_updater_file ${${_updater_var}})
    if(NOT _updater_file)
        message(FATAL_ERROR "No firmware image for ${deliverable}: set ${_updater_var} to the image file")
    endif()
    get_filename_component(_updater_file ${_updater_file} ABSOLUTE)
    if(NOT EXISTS ${_updater_file} OR IS_DIRECTORY ${_updater_file})
        message(FATAL_ERROR "Firmware image of ${deliverable} not found: ${_updater_file} "
                            "(set ${_updater_var} to the image file)")
    endif()

    # The carried name, for the Windows version resource.
    get_filename_component(UPDATER_CARRIED_NAME_${deliverable} ${_updater_file} NAME)

    set(_updater_source ${_updater_image_dir}/${deliverable}-image.cpp)
    add_custom_command(
        OUTPUT ${_updater_source}
        COMMAND ${UPDATER_EMBED_COMMAND} ${_updater_file} ${_updater_source}
        DEPENDS ${_updater_file} ${UPDATER_EMBED_DEPENDS}
        COMMENT "Checking and embedding the firmware image of ${deliverable}"
        VERBATIM)
    add_library(${deliverable}-image OBJECT ${_updater_source})
    target_include_directories(${deliverable}-image PUBLIC ${PROJECT_SOURCE_DIR})
endforeach()
