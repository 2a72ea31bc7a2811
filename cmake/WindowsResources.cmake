# Version information and application manifest of the Windows programs.
#
# updater_windows_resources(<deliverable>) compiles resources/updater.rc into
# the program: a version resource whose FileDescription names the board
# updater and the image the program carries (UPDATER_CARRIED_NAME_<deliverable>,
# set by cmake/FirmwareImages.cmake), with FileVersion and ProductVersion from
# the project version, and the manifest resources/updater.manifest (asInvoker,
# Windows 7 to 11). On other systems it does nothing.
#
# The values reach the script through a header written for each program,
# <build>/resources/<deliverable>/updater_rc.h, so that one script serves all
# four programs and no definition has to survive the resource compiler's
# command line.

if(WIN32)
    enable_language(RC)
endif()

set(UPDATER_PRODUCT_NAME "Receiver board firmware updater")

# The script names the manifest and includes a generated header; the build
# is told so, as not every resource compiler reports what it read.
set(_updater_rc_script ${PROJECT_SOURCE_DIR}/resources/updater.rc)
set_property(SOURCE ${_updater_rc_script} PROPERTY OBJECT_DEPENDS
    ${PROJECT_SOURCE_DIR}/resources/updater.manifest)

# A string as a resource script literal: backslashes doubled, quotes doubled.
function(_updater_rc_string out text)
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\"" "\"\"" text "${text}")
    set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

function(updater_windows_resources deliverable)
    if(NOT WIN32)
        return()
    endif()
    # The four numbers of the binary version fields; missing parts are 0.
    set(_numbers "")
    foreach(part MAJOR MINOR PATCH TWEAK)
        set(_n "${PROJECT_VERSION_${part}}")
        if(_n STREQUAL "")
            set(_n 0)
        endif()
        list(APPEND _numbers ${_n})
    endforeach()
    list(JOIN _numbers "," _version_numbers)
    list(JOIN _numbers "." _file_version)

    _updater_rc_string(_description
        "${UPDATER_PRODUCT_NAME}, image ${UPDATER_CARRIED_NAME_${deliverable}}")
    _updater_rc_string(_product "${UPDATER_PRODUCT_NAME}")
    _updater_rc_string(_file_version "${_file_version}")
    _updater_rc_string(_product_version "${PROJECT_VERSION}")
    _updater_rc_string(_internal "${deliverable}")
    _updater_rc_string(_original "${deliverable}.exe")

    set(_manifest ${PROJECT_SOURCE_DIR}/resources/updater.manifest)
    set(_dir ${CMAKE_BINARY_DIR}/resources/${deliverable})
    string(CONCAT _header "// Written by the build for ${deliverable}. Do not edit.\n"
        "#define UPDATER_RC_VERSION_NUMBERS ${_version_numbers}\n"
        "#define UPDATER_RC_FILE_VERSION ${_file_version}\n"
        "#define UPDATER_RC_PRODUCT_VERSION ${_product_version}\n"
        "#define UPDATER_RC_DESCRIPTION ${_description}\n"
        "#define UPDATER_RC_PRODUCT_NAME ${_product}\n"
        "#define UPDATER_RC_INTERNAL_NAME ${_internal}\n"
        "#define UPDATER_RC_ORIGINAL_FILENAME ${_original}\n")
    if(MSVC)
        # Microsoft's linker writes a manifest of its own; it merges this one
        # into it. Its default trustInfo would then come twice.
        target_sources(${deliverable} PRIVATE ${_manifest})
        target_link_options(${deliverable} PRIVATE /MANIFESTUAC:NO)
    else()
        _updater_rc_string(_manifest_literal "${_manifest}")
        string(APPEND _header "#define UPDATER_RC_MANIFEST ${_manifest_literal}\n")
    endif()

    # Rewritten only when it changes, so that a new configure alone does not
    # rebuild the resources.
    set(_old "")
    if(EXISTS ${_dir}/updater_rc.h)
        file(READ ${_dir}/updater_rc.h _old)
    endif()
    if(NOT _old STREQUAL _header)
        file(WRITE ${_dir}/updater_rc.h "${_header}")
    endif()
    target_sources(${deliverable} PRIVATE ${_updater_rc_script})
    target_include_directories(${deliverable} PRIVATE $<$<COMPILE_LANGUAGE:RC>:${_dir}>)
    set_property(SOURCE ${_updater_rc_script} APPEND PROPERTY OBJECT_DEPENDS ${_dir}/updater_rc.h)
endfunction()
