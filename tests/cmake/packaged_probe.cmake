# cmake -DPLATFORM=... -DTAG=... -DCMAKE_LIBRARY_ARCHITECTURE=... -P packaged_probe.cmake
# Prints what cmake/PackagedPython.cmake finds of one interpreter of
# cmake/interpreters.txt.
cmake_minimum_required(VERSION 3.18)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/PackagedPython.cmake)
tilestream_packaged_tags("${PLATFORM}" tags)
message("tags=[${tags}]")
if(TAG)
  tilestream_packaged_python(${PLATFORM} ${TAG} p)
  message("found=[${p_FOUND}]")
  message("version=[${p_VERSION}]")
  message("home=[${p_HOME}]")
  message("include=[${p_INCLUDE_DIR}]")
  message("library=[${p_LIBRARY}]")
  message("rpath=[${p_RPATH}]")
endif()
