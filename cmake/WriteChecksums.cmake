# Install step of the package (cmake/Packaging.cmake): writes SHA256SUMS
# beside the installed files named in UPDATER_SUMMED_FILES, one line
# "<sha256>  <name>" each, in the format that sha256sum -c reads.
set(_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(_sums "")
foreach(_name IN LISTS UPDATER_SUMMED_FILES)
    if(NOT EXISTS "${_dir}/${_name}")
        message(FATAL_ERROR "SHA256SUMS: ${_dir}/${_name} was not installed")
    endif()
    file(SHA256 "${_dir}/${_name}" _hash)
    string(APPEND _sums "${_hash}  ${_name}\n")
endforeach()
message(STATUS "Writing: ${_dir}/SHA256SUMS")
file(WRITE "${_dir}/SHA256SUMS" "${_sums}")
