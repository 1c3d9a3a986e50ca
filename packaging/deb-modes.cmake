# Run by cpack (3.19 and later) before and after it builds the .deb, so that no mode in the
# package follows the umask: cpack makes the staged directories, and the files that become the
# archive's three members, with the umask's modes. Before: the directories are made 0755.
# After: the members are made 0644, as dpkg-deb writes them.
if(NOT CPACK_PACKAGE_FILES)
  file(CHMOD_RECURSE "${CPACK_TEMPORARY_DIRECTORY}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE
       OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  return()
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  set(header 8) # after the archive's "!<arch>\n"
  foreach(member debian-binary control.tar.gz data.tar.gz)
    # A member's header: name (16 bytes), date (12), owner (6), group (6), mode (8), size (10)
    # and an end mark (2), all in text; its data follows, padded to an even length.
    file(READ "${package}" fields OFFSET ${header} LIMIT 60)
    string(SUBSTRING "${fields}" 0 16 name)
    string(STRIP "${name}" name)
    if(NOT name STREQUAL member)
      message(FATAL_ERROR "${package}: found '${name}' where ${member} belongs")
    endif()
    string(SUBSTRING "${fields}" 48 10 size)
    string(STRIP "${size}" size)
    math(EXPR mode_at "${header} + 40")
    execute_process(COMMAND printf "%-8s" 100644
                    COMMAND dd "of=${package}" bs=1 "seek=${mode_at}" conv=notrunc status=none
                    RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "${package}: cannot set the mode of ${member}")
    endif()
    math(EXPR header "${header} + 60 + (${size} + 1) / 2 * 2")
  endforeach()
endforeach()
