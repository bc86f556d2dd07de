# The install's own record, for make uninstall (cmake/uninstall.cmake):
# included twice by the install script. RILL_RECORD_STEP "start", before the
# first file goes in place, notes which of the folders RILL_INSTALL_DIRS
# (relative to the prefix), and of the folders above them, do not exist yet;
# "end" writes RILL_RECORD: the DESTDIR the install went under, the folders
# it created, and every file it put in place with its SHA-256, so that
# uninstalling removes exactly those, wherever DESTDIR put them, and never
# a file that has since been replaced. CMake's own install_manifest.txt
# leaves DESTDIR out.
get_filename_component(rill_destdir "$ENV{DESTDIR}" ABSOLUTE)
if("$ENV{DESTDIR}" STREQUAL "")
  set(rill_destdir "")
endif()

if(RILL_RECORD_STEP STREQUAL "start")
  set(rill_created "")
  # A second install over the first keeps the folders the first created.
  if(EXISTS "${RILL_RECORD}")
    file(STRINGS "${RILL_RECORD}" rill_lines)
    list(GET rill_lines 0 rill_first)
    if(rill_first STREQUAL "destdir ${rill_destdir}")
      foreach(line IN LISTS rill_lines)
        if(line MATCHES "^dir (.*)$" AND IS_DIRECTORY "${CMAKE_MATCH_1}")
          list(APPEND rill_created "${CMAKE_MATCH_1}")
        endif()
      endforeach()
    endif()
  endif()
  foreach(dir IN LISTS RILL_INSTALL_DIRS)
    set(path "${rill_destdir}${CMAKE_INSTALL_PREFIX}/${dir}")
    while(NOT EXISTS "${path}")
      list(APPEND rill_created "${path}")
      get_filename_component(path "${path}" DIRECTORY)
    endwhile()
  endforeach()
  list(REMOVE_DUPLICATES rill_created)
else()
  set(record "destdir ${rill_destdir}\n")
  # Deepest first, as uninstalling removes them.
  list(SORT rill_created)
  list(REVERSE rill_created)
  foreach(dir IN LISTS rill_created)
    string(APPEND record "dir ${dir}\n")
  endforeach()
  foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
    file(SHA256 "${rill_destdir}${file}" hash)
    string(APPEND record "file ${hash} ${rill_destdir}${file}\n")
  endforeach()
  file(WRITE "${RILL_RECORD}" "${record}")
endif()
