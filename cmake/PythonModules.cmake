# Locates CPython 2.7 (pyenv) and CPython 3 (the system's) and builds one
# extension module for each from the same sources.
#
#   tilestream_python_module(NAME name SOURCES ... [LIBS ...] [DEFINITIONS ...])
#
# makes targets <name>_py2 and <name>_py3 whose outputs are
# ${CMAKE_BINARY_DIR}/python2/<name>.so and ${CMAKE_BINARY_DIR}/python3/<name>.so.
# TILESTREAM_PYTHON_VERSIONS (default "2;3") narrows that to one interpreter,
# as the Python package build (setup.py) does with its own interpreter as
# PYTHON2_EXECUTABLE or PYTHON3_EXECUTABLE.
set(TILESTREAM_PYTHON_VERSIONS "2;3" CACHE STRING "Interpreter versions to build the modules for")

if(NOT PYTHON2_EXECUTABLE)
  execute_process(COMMAND pyenv prefix 2.7.18 OUTPUT_VARIABLE _py2prefix
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(NOT _py2prefix)
    set(_py2prefix "$ENV{HOME}/.pyenv/versions/2.7.18")
  endif()
  set(PYTHON2_EXECUTABLE "${_py2prefix}/bin/python2.7" CACHE FILEPATH "CPython 2.7 interpreter")
endif()
set(PYTHON3_EXECUTABLE "/usr/bin/python3" CACHE FILEPATH "CPython 3 interpreter (the system's)")

function(_tilestream_python_include exe outvar)
  execute_process(
    COMMAND ${exe} -c "import sysconfig; print(sysconfig.get_paths()['include'])"
    OUTPUT_VARIABLE inc OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT EXISTS "${inc}/Python.h")
    message(FATAL_ERROR "No Python.h for ${exe} (looked in '${inc}')")
  endif()
  set(${outvar} "${inc}" PARENT_SCOPE)
endfunction()

if(BUILD_PYTHON_MODULES)
  foreach(v ${TILESTREAM_PYTHON_VERSIONS})
    if(NOT v MATCHES "^[23]$")
      message(FATAL_ERROR "TILESTREAM_PYTHON_VERSIONS takes 2, 3 or both, not '${v}'")
    endif()
    # A cross-build gives the headers (-DPYTHON<v>_INCLUDE_DIR) and runs no interpreter.
    if(NOT PYTHON${v}_INCLUDE_DIR)
      _tilestream_python_include(${PYTHON${v}_EXECUTABLE} PYTHON${v}_INCLUDE_DIR)
    endif()
  endforeach()
endif()

function(tilestream_python_module)
  cmake_parse_arguments(M "" "NAME" "SOURCES;LIBS;DEFINITIONS" ${ARGN})
  if(NOT BUILD_PYTHON_MODULES)
    return()
  endif()
  foreach(v ${TILESTREAM_PYTHON_VERSIONS})
    set(t ${M_NAME}_py${v})
    add_library(${t} MODULE ${M_SOURCES})
    target_include_directories(${t} SYSTEM PRIVATE ${PYTHON${v}_INCLUDE_DIR})
    target_include_directories(${t} PRIVATE ${PROJECT_SOURCE_DIR}/common)
    target_compile_definitions(${t} PRIVATE PY_SSIZE_T_CLEAN
      TILESTREAM_VERSION="${PROJECT_VERSION}" ${M_DEFINITIONS})
    target_link_libraries(${t} PRIVATE ${M_LIBS})
    if(APPLE)
      # A bundle: the interpreter's symbols are looked up when it loads the
      # module, as CPython links its own extension modules on macOS.
      target_link_options(${t} PRIVATE "LINKER:-undefined,dynamic_lookup")
    endif()
    set_target_properties(${t} PROPERTIES
      PREFIX "" SUFFIX ".so" OUTPUT_NAME ${M_NAME}
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/python${v})
  endforeach()
endfunction()
