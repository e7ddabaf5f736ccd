# The interpreters the extension modules are built for, and the helper that
# builds one module for each of them from the same sources.
#
# TILESTREAM_PYTHON_VERSIONS lists interpreter tags:
#
#   2     CPython 2.7 (pyenv's 2.7.18)
#   3     CPython 3: the system's /usr/bin/python3
#   3.N   pyenv's newest CPython 3.N.x
#
# The builds for other ABIs (a toolchain file cmake/<platform>.cmake that
# cmake/interpreters.txt has lines for: i386, aarch64) take their tags and
# interpreters from there instead (cmake/PackagedPython.cmake), each run by a
# launcher of the build's own, build/python<id>-<platform>
# (tools/python_launcher.c), under the build's runner.
#
# A tag's id is the tag without its dot (2, 3, 36, ..., 313). Its module
# targets are <name>_py<id>, its modules land in ${CMAKE_BINARY_DIR}/python<id>/
# and its tests are called py<id>.<test>. PYTHON<id>_EXECUTABLE names the
# interpreter, PYTHON<id>_INCLUDE_DIR its headers (asked of the interpreter
# unless set beforehand, as a cross build must). The default list is 2, 3
# and every pyenv CPython 3 this machine has. setup.py narrows it to its own
# interpreter. With BUILD_PYTHON_MODULES off no interpreter is looked for.
#
#   tilestream_python_module(NAME name SOURCES ... [LIBS ...] [DEFINITIONS ...])
#
# Host-side drivers (test runners that load no module) use
# TILESTREAM_HOST_PYTHON, the system's python3.
#
# The scripts that drive a build tree (scripts/test.sh, python_summary.py,
# bench/display_loop.py, tests/valgrind/run.sh, tests/macos/check_bundles.py)
# read what it is from ${CMAKE_BINARY_DIR}/tilestream.env, written here: how
# its programs run and, per interpreter, its program, what it is and how its
# tests run (tests/python/buildenv.py reads it).

include(PackagedPython)
include(UnittestVerdict)

set(TILESTREAM_HOST_PYTHON "/usr/bin/python3" CACHE FILEPATH
    "The system's CPython 3, for build and test drivers that load no module")

# The platform of a build for another ABI: its toolchain file's name.
set(TILESTREAM_PLATFORM "")
if(CMAKE_TOOLCHAIN_FILE)
  get_filename_component(TILESTREAM_PLATFORM "${CMAKE_TOOLCHAIN_FILE}" NAME_WE)
endif()
tilestream_packaged_tags("${TILESTREAM_PLATFORM}" _tilestream_packaged)

if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i[3-6]86|x86)$" OR
   (CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" AND CMAKE_SIZEOF_VOID_P EQUAL 4))
  set(TILESTREAM_ABI i386)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(TILESTREAM_ABI x86-64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64|ARM64)$")
  set(TILESTREAM_ABI aarch64)
else()
  set(TILESTREAM_ABI ${CMAKE_SYSTEM_PROCESSOR})
endif()

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

if(_tilestream_packaged)
  set(_tilestream_default_pythons ${_tilestream_packaged})
elseif(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # No interpreter is known for a 32-bit build of another name.
  set(_tilestream_default_pythons "")
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

set(_tilestream_tags "")
if(BUILD_PYTHON_MODULES)
  set(_tilestream_tags ${TILESTREAM_PYTHON_VERSIONS})
  # What the test command requires (TILESTREAM_REQUIRE) must not be left out.
  separate_arguments(_tilestream_required UNIX_COMMAND "$ENV{TILESTREAM_REQUIRE}")
  foreach(tag ${_tilestream_packaged})
    if("${TILESTREAM_PLATFORM}-python${tag}" IN_LIST _tilestream_required AND
       NOT tag IN_LIST _tilestream_tags)
      message(FATAL_ERROR "TILESTREAM_REQUIRE names ${TILESTREAM_PLATFORM}-python${tag}, but this "
                          "tree's TILESTREAM_PYTHON_VERSIONS (${TILESTREAM_PYTHON_VERSIONS}) leaves "
                          "out ${tag}: add it, or run the tests with "
                          "TILESTREAM_WITHOUT=${TILESTREAM_PLATFORM}-python${tag}")
    endif()
  endforeach()
endif()

# Each tag's id, interpreter, headers, what it is and how its tests run
# (PYTHON<id>_TESTS: pytest where the interpreter sees the system's pytest,
# else unittest).
set(TILESTREAM_PYTHON_IDS "")
foreach(tag ${_tilestream_tags})
  if(NOT tag MATCHES "^(2|3|3\\.[0-9]+)$")
    message(FATAL_ERROR "TILESTREAM_PYTHON_VERSIONS takes 2, 3 or 3.N tags, not '${tag}'")
  endif()
  string(REPLACE "." "" id "${tag}")
  set(PYTHON${id}_COMMAND "")
  set(PYTHON${id}_TESTS unittest)
  if(tag IN_LIST _tilestream_packaged)
    tilestream_packaged_python(${TILESTREAM_PLATFORM} ${tag} _packaged)
    if(NOT _packaged_FOUND)
      continue()
    endif()
    # Our launcher runs it (tools/python_launcher.c); tests name the target,
    # so ctest puts the build's runner in front of it.
    set(launcher python${id}_${TILESTREAM_PLATFORM})
    add_executable(${launcher} ${PROJECT_SOURCE_DIR}/tools/python_launcher.c)
    target_include_directories(${launcher} SYSTEM PRIVATE ${_packaged_INCLUDE_DIR})
    target_link_libraries(${launcher} PRIVATE ${_packaged_LIBRARY})
    if(_packaged_HOME)
      target_compile_definitions(${launcher} PRIVATE TILESTREAM_PYTHON_HOME="${_packaged_HOME}")
      # A run path of the old kind (DT_RPATH), which also serves the
      # libraries that its standard library's modules load (libffi, libssl).
      set_target_properties(${launcher} PROPERTIES BUILD_RPATH "${_packaged_RPATH}")
      target_link_options(${launcher} PRIVATE LINKER:--disable-new-dtags)
    elseif(tag STREQUAL "3")
      set(PYTHON${id}_TESTS pytest)
    endif()
    # The interpreter is not under test: no sanitizer runtime in it.
    target_compile_options(${launcher} PRIVATE -fno-sanitize=all)
    target_link_options(${launcher} PRIVATE -fno-sanitize=all)
    set_target_properties(${launcher} PROPERTIES OUTPUT_NAME python${id}-${TILESTREAM_PLATFORM}
                          RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
    set(PYTHON${id}_EXECUTABLE ${CMAKE_BINARY_DIR}/python${id}-${TILESTREAM_PLATFORM})
    set(PYTHON${id}_COMMAND ${launcher})
    set(PYTHON${id}_INCLUDE_DIR "${_packaged_INCLUDE_DIR}")
    set(PYTHON${id}_LABEL "${_packaged_LABEL}")
    list(APPEND TILESTREAM_PYTHON_IDS ${id})
    continue()
  endif()
  if(id STREQUAL "2" AND NOT PYTHON2_EXECUTABLE)
    _tilestream_pyenv_prefix(2.7 _prefix)
    if(NOT _prefix)
      set(_prefix "$ENV{HOME}/.pyenv/versions/2.7.18")
    endif()
    set(PYTHON2_EXECUTABLE "${_prefix}/bin/python2.7" CACHE FILEPATH "CPython 2.7 interpreter")
  elseif(id STREQUAL "3")
    set(PYTHON3_EXECUTABLE "/usr/bin/python3" CACHE FILEPATH "CPython 3 interpreter (the system's)")
    set(PYTHON3_TESTS pytest)
  elseif(NOT PYTHON${id}_EXECUTABLE)
    _tilestream_pyenv_prefix(${tag} _prefix)
    if(NOT _prefix)
      message(FATAL_ERROR "No CPython ${tag} in pyenv; drop ${tag} from TILESTREAM_PYTHON_VERSIONS")
    endif()
    set(PYTHON${id}_EXECUTABLE "${_prefix}/bin/python${tag}" CACHE FILEPATH "CPython ${tag} interpreter")
  endif()
  if(PYTHON${id}_EXECUTABLE MATCHES "/versions/([0-9.]+)/bin/[^/]+$")
    set(_where "pyenv's ${CMAKE_MATCH_1}")
  else()
    set(_where "${PYTHON${id}_EXECUTABLE}")
  endif()
  if(tag STREQUAL "2")
    set(PYTHON${id}_LABEL "CPython 2.7 ${TILESTREAM_ABI} (${_where})")
  else()
    set(PYTHON${id}_LABEL "CPython ${tag} ${TILESTREAM_ABI} (${_where})")
  endif()
  set(PYTHON${id}_COMMAND ${PYTHON${id}_EXECUTABLE})
  if(NOT PYTHON${id}_INCLUDE_DIR)
    if(NOT EXISTS "${PYTHON${id}_EXECUTABLE}")
      message(FATAL_ERROR "No CPython ${tag} at ${PYTHON${id}_EXECUTABLE}: install it (CPython 2.7: "
                          "pyenv install 2.7.18), or name one with -DPYTHON${id}_EXECUTABLE=...")
    endif()
    execute_process(
      COMMAND ${PYTHON${id}_EXECUTABLE} -c "import sysconfig; print(sysconfig.get_paths()['include'])"
      OUTPUT_VARIABLE inc OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0 OR NOT EXISTS "${inc}/Python.h")
      message(FATAL_ERROR "No Python.h for ${PYTHON${id}_EXECUTABLE} (looked in '${inc}')")
    endif()
    set(PYTHON${id}_INCLUDE_DIR "${inc}" CACHE PATH "CPython ${tag} headers")
  endif()
  list(APPEND TILESTREAM_PYTHON_IDS ${id})
endforeach()

# tilestream.env: shell assignments, one a line, each value in single quotes.
function(_tilestream_env_line out name value)
  string(REPLACE "'" "'\\''" value "${value}")
  set(${out} "${${out}}${name}='${value}'\n" PARENT_SCOPE)
endfunction()
set(_env "# What this build tree is, for the scripts that drive it (written at configure time).\n")
_tilestream_env_line(_env TILESTREAM_PLATFORM "${TILESTREAM_PLATFORM}")
_tilestream_env_line(_env TILESTREAM_ABI "${TILESTREAM_ABI}")
# The command prefix that runs this build's programs here ('' where they run
# directly).
string(REPLACE ";" " " _runner "${TILESTREAM_TARGET_RUNNER}")
_tilestream_env_line(_env TILESTREAM_TARGET_RUNNER "${_runner}")
string(REPLACE ";" " " _ids "${TILESTREAM_PYTHON_IDS}")
_tilestream_env_line(_env TILESTREAM_PYTHON_IDS "${_ids}")
foreach(id ${TILESTREAM_PYTHON_IDS})
  _tilestream_env_line(_env PYTHON${id}_EXECUTABLE "${PYTHON${id}_EXECUTABLE}")
  _tilestream_env_line(_env PYTHON${id}_LABEL "${PYTHON${id}_LABEL}")
  _tilestream_env_line(_env PYTHON${id}_TESTS "${PYTHON${id}_TESTS}")
  _tilestream_env_line(_env PYTHON${id}_MODULES "${CMAKE_BINARY_DIR}/python${id}")
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/tilestream.env "${_env}")

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
    if(TARGET "${PYTHON${id}_COMMAND}")
      add_dependencies(${t} ${PYTHON${id}_COMMAND})
    endif()
  endforeach()
endfunction()

