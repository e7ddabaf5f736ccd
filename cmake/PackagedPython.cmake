# The interpreters that Debian packages provide for the builds of other ABIs
# (cmake/interpreters.txt), found where scripts/setup.sh put them.
#
#   tilestream_packaged_tags(<platform> <var>)
#
# sets <var> to the tags interpreters.txt lists for <platform>, in its order.
#
#   tilestream_packaged_python(<platform> <tag> <prefix>)
#
# finds one and sets, in the caller's scope:
#
#   <prefix>_FOUND        TRUE or FALSE
#   <prefix>_VERSION      its X.Y
#   <prefix>_LABEL        what it is, in a few words
#   <prefix>_LIBRARY      its libpython
#   <prefix>_INCLUDE_DIR  its headers: the folder of Python.h, and where that
#                         one's multiarch pyconfig.h is found
#   <prefix>_HOME         its installation prefix; empty for the system's own
#   <prefix>_RPATH        the folders of its libraries; empty for the system's
#
# Its libraries are those of CMAKE_LIBRARY_ARCHITECTURE (the toolchain file
# sets it). One that is missing is, by the gate of the test command
# (TILESTREAM_REQUIRE names <platform>-python<tag>), a configure error, else
# a warning and <prefix>_FOUND FALSE; either way with one line saying why and
# what to do: the one scripts/fetch_pythons.sh wrote when it could not fetch
# it, or one that says to run scripts/setup.sh.

set(_tilestream_interpreters_list ${CMAKE_CURRENT_LIST_DIR}/interpreters.txt)

# The fields of <platform>'s row for <tag>: version, source and packages.
function(_tilestream_packaged_row platform tag out)
  file(STRINGS ${_tilestream_interpreters_list} rows REGEX "^[^#]")
  foreach(row ${rows})
    string(REGEX REPLACE "[ \t]+" ";" fields "${row}")
    list(GET fields 0 p)
    list(GET fields 1 t)
    if(p STREQUAL platform AND t STREQUAL tag)
      list(REMOVE_AT fields 0 1)
      set(${out} "${fields}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

function(tilestream_packaged_tags platform var)
  file(STRINGS ${_tilestream_interpreters_list} rows REGEX "^[^#]")
  set(tags "")
  foreach(row ${rows})
    string(REGEX REPLACE "[ \t]+" ";" fields "${row}")
    list(GET fields 0 p)
    if(p STREQUAL platform)
      list(GET fields 1 t)
      list(APPEND tags ${t})
    endif()
  endforeach()
  set(${var} "${tags}" PARENT_SCOPE)
endfunction()

# The cache folders scripts/fetch_pythons.sh may have used, in its order.
function(_tilestream_python_caches out)
  if(DEFINED ENV{TILESTREAM_PYTHON_CACHE} AND NOT "$ENV{TILESTREAM_PYTHON_CACHE}" STREQUAL "")
    set(dirs "$ENV{TILESTREAM_PYTHON_CACHE}")
  else()
    set(dirs /var/cache/tilestream-python)
  endif()
  if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    list(APPEND dirs "$ENV{XDG_CACHE_HOME}/tilestream-python")
  else()
    list(APPEND dirs "$ENV{HOME}/.cache/tilestream-python")
  endif()
  set(${out} "${dirs}" PARENT_SCOPE)
endfunction()

function(tilestream_packaged_python platform tag prefix)
  _tilestream_packaged_row(${platform} ${tag} row)
  if(NOT row)
    message(FATAL_ERROR "cmake/interpreters.txt has no interpreter ${tag} for ${platform}")
  endif()
  list(GET row 0 v)
  list(GET row 1 source)
  set(arch ${CMAKE_LIBRARY_ARCHITECTURE})
  set(word ${platform}-python${tag})
  set(found FALSE)
  set(home "")
  set(rpath "")
  if(source STREQUAL "apt")
    # Installed beside the system's own: the multiarch library, and the
    # common headers whose pyconfig.h picks the multiarch one.
    list(GET row 2 package)
    string(REGEX REPLACE "^[^:]*:" "" debarch "${package}")
    set(label "CPython ${v} ${debarch} (the system's libpython${v})")
    set(library /usr/lib/${arch}/libpython${v}.so)
    set(include /usr/include/python${v})
    if(EXISTS ${library} AND EXISTS ${include}/Python.h AND
       EXISTS /usr/include/${arch}/python${v}/pyconfig.h)
      set(found TRUE)
    else()
      string(CONCAT why "${word} (${label}) is not installed: scripts/setup.sh installs "
             "${package} (dpkg --add-architecture ${debarch} && apt-get update && "
             "apt-get install ${package})")
    endif()
  else()
    string(REPLACE "/" ";" suite_arch "${source}")
    list(GET suite_arch 0 suite)
    list(GET suite_arch 1 debarch)
    set(label "CPython ${v} ${debarch} (Debian ${suite}'s)")
    _tilestream_python_caches(caches)
    set(why "")
    foreach(cache ${caches})
      set(root ${cache}/${platform}-python${v}/root)
      if(EXISTS ${root}/usr/lib/${arch}/libpython${v}.so AND
         EXISTS ${root}/usr/include/python${v}/Python.h)
        set(found TRUE)
        set(library ${root}/usr/lib/${arch}/libpython${v}.so)
        set(include ${root}/usr/include/python${v} ${root}/usr/include)
        set(home ${root}/usr)
        set(rpath ${root}/usr/lib/${arch} ${root}/lib/${arch})
        break()
      endif()
      if(NOT why AND EXISTS ${cache}/${platform}-python${v}/unavailable)
        file(STRINGS ${cache}/${platform}-python${v}/unavailable why LIMIT_COUNT 1)
      endif()
    endforeach()
    if(NOT found AND NOT why)
      string(REPLACE ";" " or " where "${caches}")
      set(why "${word} (${label}) is not in ${where}: run scripts/setup.sh, which fetches it")
    endif()
  endif()

  if(NOT found)
    separate_arguments(required UNIX_COMMAND "$ENV{TILESTREAM_REQUIRE}")
    if(word IN_LIST required)
      # A leading blank keeps CMake from folding the line.
      message(FATAL_ERROR " ${why}")
    endif()
    message(WARNING " ${why}\n The modules are not built for it.")
  endif()
  set(${prefix}_FOUND ${found} PARENT_SCOPE)
  set(${prefix}_VERSION ${v} PARENT_SCOPE)
  set(${prefix}_LABEL "${label}" PARENT_SCOPE)
  if(found)
    set(${prefix}_LIBRARY ${library} PARENT_SCOPE)
    set(${prefix}_INCLUDE_DIR "${include}" PARENT_SCOPE)
    set(${prefix}_HOME "${home}" PARENT_SCOPE)
    set(${prefix}_RPATH "${rpath}" PARENT_SCOPE)
  endif()
endfunction()
