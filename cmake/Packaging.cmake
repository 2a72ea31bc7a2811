# The package of a build (CPack): one archive that unpacks to one folder,
#
#   updater-<version>-<system>/
#       the four programs
#       OPERATOR-GUIDE.txt   how to attach the board, run a program, read its texts
#       SHA256SUMS           the SHA-256 of the files above, for sha256sum -c
#
# <system> is windows-x64, windows-x86 or linux-<processor>; Windows builds
# make a .zip, others a .tar.gz. tools/package.sh makes the packages of the
# release presets; by hand:
#
#   cmake --build <build folder> && cpack --config <build folder>/CPackConfig.cmake
#
# leaves the archive in <build folder>/package.

if(WIN32)
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(ARM64|arm64|aarch64)$")
        set(_updater_arch arm64)
    elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(_updater_arch x64)
    else()
        set(_updater_arch x86)
    endif()
    set(UPDATER_PACKAGE_SYSTEM windows-${_updater_arch})
    set(_updater_generator ZIP)
    # Windows editors before Windows 10 show a text with bare line feeds as
    # one line.
    set(_updater_newlines CRLF)
else()
    string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" UPDATER_PACKAGE_SYSTEM)
    set(_updater_generator TGZ)
    set(_updater_newlines UNIX)
endif()

# The guide lists the programs and the image each one carries, one line each
# (with the newline of the guide: configure_file converts only its own).
if(_updater_newlines STREQUAL "CRLF")
    set(_updater_nl "\r\n")
else()
    set(_updater_nl "\n")
endif()
set(UPDATER_GUIDE_PROGRAMS "")
foreach(deliverable IN LISTS UPDATER_DELIVERABLES)
    set(_updater_program ${deliverable}${CMAKE_EXECUTABLE_SUFFIX})
    string(LENGTH ${_updater_program} _updater_length)
    math(EXPR _updater_pad "30 - ${_updater_length}")
    if(_updater_pad LESS 2)
        set(_updater_pad 2)
    endif()
    string(REPEAT " " ${_updater_pad} _updater_spaces)
    if(NOT UPDATER_GUIDE_PROGRAMS STREQUAL "")
        string(APPEND UPDATER_GUIDE_PROGRAMS "${_updater_nl}")
    endif()
    string(APPEND UPDATER_GUIDE_PROGRAMS
        "  ${_updater_program}${_updater_spaces}${UPDATER_CARRIED_NAME_${deliverable}}")
endforeach()
set(_updater_guide OPERATOR-GUIDE.txt)
configure_file(${PROJECT_SOURCE_DIR}/resources/operator-guide.txt
    ${CMAKE_BINARY_DIR}/package-files/${_updater_guide} @ONLY NEWLINE_STYLE ${_updater_newlines})

install(TARGETS ${UPDATER_DELIVERABLES} RUNTIME DESTINATION .)
install(FILES ${CMAKE_BINARY_DIR}/package-files/${_updater_guide} DESTINATION .)

# SHA256SUMS over what the two rules above installed, written at install
# time into the installed folder.
set(_updater_summed ${_updater_guide})
foreach(deliverable IN LISTS UPDATER_DELIVERABLES)
    list(APPEND _updater_summed ${deliverable}${CMAKE_EXECUTABLE_SUFFIX})
endforeach()
list(SORT _updater_summed)
install(CODE "set(UPDATER_SUMMED_FILES \"${_updater_summed}\")")
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/WriteChecksums.cmake)

set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VENDOR "")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${UPDATER_PRODUCT_NAME}")
set(CPACK_PACKAGE_FILE_NAME updater-${PROJECT_VERSION}-${UPDATER_PACKAGE_SYSTEM})
set(CPACK_GENERATOR ${_updater_generator})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_VERBATIM_VARIABLES ON)
# No source package: the repository is the source.
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
