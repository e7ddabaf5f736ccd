# The interpreters the extension modules are built for, and the helper that
# builds one module for each of them from the same sources.
#
# TILESTREAM_PYTHON_VERSIONS lists interpreter tags:
#
#   2     CPython 2.7 (pyenv's 2.7.18)
#   3     CPython 3: the system's /usr/bin/python3; in a 32-bit build, the
#         system's 32-bit libpython3 run by the project's launcher
#         (tools/python_launcher.c)
#   3.N   pyenv's newest CPython 3.N.x
#
# A tag's id is the tag without its dot (2, 3, 36, ..., 313). Its module
# targets are <name>_py<id>, its modules land in ${CMAKE_BINARY_DIR}/python<id>/
# and its tests are called py<id>.<test>. PYTHON<id>_EXECUTABLE names the
# interpreter, PYTHON<id>_INCLUDE_DIR its headers (asked of the interpreter
# unless set beforehand, as a cross build must). The default list is 2, 3
# and every pyenv CPython 3 this machine has; in a 32-bit build only 3.
# setup.py narrows it to its own interpreter.
#
#   tilestream_python_module(NAME name SOURCES ... [LIBS ...] [DEFINITIONS ...])
#
# Host-side drivers (test runners that load no module) use
# TILESTREAM_HOST_PYTHON, the system's python3.

set(TILESTREAM_HOST_PYTHON "/usr/bin/python3" CACHE FILEPATH
    "The system's CPython 3, for build and test drivers that load no module")

# The CPython versions pyenv has (x.y.z, one per line of `pyenv versions --bare`).
function(_tilestream_pyenv_list outvar)
  set(found "")
  find_program(PYENV_PROGRAM pyenv)
  if(PYENV_PROGRAM)
    execute_process(COMMAND ${PYENV_PROGRAM} versions --bare
                    OUTPUT_VARIABLE out ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REPLACE "\n" ";" lines "${out}")
    foreach(line ${lines})
      string(STRIP "${line}" line)
      if(line MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
        list(APPEND found ${line})
      endif()
    endforeach()
  endif()
  set(${outvar} "${found}" PARENT_SCOPE)
endfunction()

# pyenv's CPython 3.N versions (list of 3.N, oldest first).
function(_tilestream_pyenv_versions outvar)
  _tilestream_pyenv_list(all)
  set(found "")
  foreach(v ${all})
    if(v MATCHES "^3\\.([0-9]+)\\.")
      list(APPEND found "3.${CMAKE_MATCH_1}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES found)
  list(SORT found COMPARE NATURAL)
  set(${outvar} "${found}" PARENT_SCOPE)
endfunction()

# The prefix of pyenv's newest installed CPython <minor> ("2.7", "3.6" ...),
# or empty.
function(_tilestream_pyenv_prefix minor outvar)
  _tilestream_pyenv_list(all)
  string(REPLACE "." "\\." pattern "${minor}")
  set(best "")
  foreach(v ${all})
    if(v MATCHES "^${pattern}\\.[0-9]+$" AND (NOT best OR v VERSION_GREATER best))
      set(best ${v})
    endif()
  endforeach()
  set(prefix "")
  if(best)
    execute_process(COMMAND ${PYENV_PROGRAM} prefix ${best} OUTPUT_VARIABLE prefix
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  set(${outvar} "${prefix}" PARENT_SCOPE)
endfunction()

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_tilestream_default_pythons 3)
else()
  _tilestream_pyenv_versions(_pyenv3)
  _tilestream_pyenv_prefix(2.7 _pyenv2)
  # CPython 2.7 is the application's own interpreter: a Linux build insists
  # on it (setup says where it comes from); a Mac builds it where it is.
  if(_pyenv2 OR NOT APPLE)
    set(_tilestream_default_pythons 2 3 ${_pyenv3})
  else()
    set(_tilestream_default_pythons 3 ${_pyenv3})
  endif()
endif()
set(TILESTREAM_PYTHON_VERSIONS "${_tilestream_default_pythons}" CACHE STRING
    "Interpreters to build the modules for: 2, 3 and 3.N tags")

# Each tag's id, interpreter and headers.
set(TILESTREAM_PYTHON_IDS "")
set(TILESTREAM_I386_PYTHON "3.11" CACHE STRING "The system's 32-bit libpython version (i386 build)")
foreach(tag ${TILESTREAM_PYTHON_VERSIONS})
  if(NOT tag MATCHES "^(2|3|3\\.[0-9]+)$")
    message(FATAL_ERROR "TILESTREAM_PYTHON_VERSIONS takes 2, 3 or 3.N tags, not '${tag}'")
  endif()
  string(REPLACE "." "" id "${tag}")
  list(APPEND TILESTREAM_PYTHON_IDS ${id})
  set(PYTHON${id}_COMMAND "")
  if(id STREQUAL "2" AND NOT PYTHON2_EXECUTABLE)
    _tilestream_pyenv_prefix(2.7 _prefix)
    if(NOT _prefix)
      set(_prefix "$ENV{HOME}/.pyenv/versions/2.7.18")
    endif()
    set(PYTHON2_EXECUTABLE "${_prefix}/bin/python2.7" CACHE FILEPATH "CPython 2.7 interpreter")
  elseif(id STREQUAL "3" AND CMAKE_SIZEOF_VOID_P EQUAL 4)
    # The 32-bit interpreter is our launcher over the system's 32-bit
    # libpython; its headers are the system's (the multiarch pyconfig.h picks
    # the i386 one).
    set(v ${TILESTREAM_I386_PYTHON})
    find_library(PYTHON3_I386_LIBRARY NAMES python${v}
                 PATHS /usr/lib/i386-linux-gnu NO_DEFAULT_PATH)
    find_path(PYTHON3_I386_CONFIG_DIR pyconfig.h
              PATHS /usr/include/i386-linux-gnu/python${v} NO_DEFAULT_PATH)
    if(NOT PYTHON3_I386_LIBRARY OR NOT PYTHON3_I386_CONFIG_DIR OR
       NOT EXISTS /usr/include/python${v}/Python.h)
      message(FATAL_ERROR
        "The i386 build needs the system's 32-bit CPython ${v}: "
        "dpkg --add-architecture i386 && apt-get update && "
        "apt-get install libpython${v}-dev:i386 (scripts/setup.sh does this)")
    endif()
    set(PYTHON3_INCLUDE_DIR /usr/include/python${v} CACHE PATH "CPython 3 headers")
    set(PYTHON3_EXECUTABLE ${CMAKE_BINARY_DIR}/python3-i386 CACHE FILEPATH
        "The 32-bit CPython 3 (the project's launcher)" FORCE)
    # Tests name the target, so ctest puts the i386 runner in front of it.
    set(PYTHON3_COMMAND python3_i386)
  elseif(id STREQUAL "3")
    set(PYTHON3_EXECUTABLE "/usr/bin/python3" CACHE FILEPATH "CPython 3 interpreter (the system's)")
  elseif(NOT PYTHON${id}_EXECUTABLE)
    _tilestream_pyenv_prefix(${tag} _prefix)
    if(NOT _prefix)
      message(FATAL_ERROR "No CPython ${tag} in pyenv; drop ${tag} from TILESTREAM_PYTHON_VERSIONS")
    endif()
    set(PYTHON${id}_EXECUTABLE "${_prefix}/bin/python${tag}" CACHE FILEPATH "CPython ${tag} interpreter")
  endif()
  if(NOT PYTHON${id}_COMMAND)
    set(PYTHON${id}_COMMAND ${PYTHON${id}_EXECUTABLE})
  endif()
  if(BUILD_PYTHON_MODULES AND NOT PYTHON${id}_INCLUDE_DIR)
    execute_process(
      COMMAND ${PYTHON${id}_EXECUTABLE} -c "import sysconfig; print(sysconfig.get_paths()['include'])"
      OUTPUT_VARIABLE inc OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0 OR NOT EXISTS "${inc}/Python.h")
      message(FATAL_ERROR "No Python.h for ${PYTHON${id}_EXECUTABLE} (looked in '${inc}')")
    endif()
    set(PYTHON${id}_INCLUDE_DIR "${inc}" CACHE PATH "CPython ${tag} headers")
  endif()
endforeach()

if(BUILD_PYTHON_MODULES AND CMAKE_SIZEOF_VOID_P EQUAL 4 AND "3" IN_LIST TILESTREAM_PYTHON_IDS)
  add_executable(python3_i386 ${PROJECT_SOURCE_DIR}/tools/python_launcher.c)
  target_include_directories(python3_i386 SYSTEM PRIVATE ${PYTHON3_INCLUDE_DIR})
  target_link_libraries(python3_i386 PRIVATE ${PYTHON3_I386_LIBRARY})
  # The interpreter is not under test: no sanitizer runtime in it.
  target_compile_options(python3_i386 PRIVATE -fno-sanitize=all)
  target_link_options(python3_i386 PRIVATE -fno-sanitize=all)
  set_target_properties(python3_i386 PROPERTIES OUTPUT_NAME python3-i386
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endif()

function(tilestream_python_module)
  cmake_parse_arguments(M "" "NAME" "SOURCES;LIBS;DEFINITIONS" ${ARGN})
  if(NOT BUILD_PYTHON_MODULES)
    return()
  endif()
  foreach(id ${TILESTREAM_PYTHON_IDS})
    set(t ${M_NAME}_py${id})
    add_library(${t} MODULE ${M_SOURCES})
    target_include_directories(${t} SYSTEM PRIVATE ${PYTHON${id}_INCLUDE_DIR})
    target_include_directories(${t} PRIVATE ${PROJECT_SOURCE_DIR}/common)
    target_compile_definitions(${t} PRIVATE PY_SSIZE_T_CLEAN
      TILESTREAM_VERSION="${PROJECT_VERSION}" ${M_DEFINITIONS})
    target_link_libraries(${t} PRIVATE ${M_LIBS})
    if(APPLE)
      # A macOS extension is a bundle whose interpreter symbols are bound
      # when the interpreter loads it, as CPython links its own extensions.
      target_link_options(${t} PRIVATE "LINKER:-undefined,dynamic_lookup")
    endif()
    set_target_properties(${t} PROPERTIES
      PREFIX "" SUFFIX ".so" OUTPUT_NAME ${M_NAME}
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/python${id})
    if(TARGET python3_i386 AND id STREQUAL "3")
      add_dependencies(${t} python3_i386)
    endif()
  endforeach()
endfunction()
