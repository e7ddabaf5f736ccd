# Checks that no code crosses an instruction-set boundary at link time.
#
#   cmake -DNM=<nm> -DARCHIVES=<a.a>,<b.a> -DVECTOR_OBJECTS=<decode_avx2.cpp>,... -P isa_linkage.cmake
#
# The vector kernels' files are compiled for instruction sets the rest of the
# core may not use. A weak (COMDAT) definition in one of them, such as an
# external-linkage inline function from a shared header, competes with the
# copies other files make of the same function, and the linker keeps any one
# of them for every caller: possibly the copy built for AVX-512, which then
# faults on a processor without it. So a vector object must define no weak
# code (nm's "W"); weak data ("V", "u": type descriptors, the personality
# routine's address) is the same bytes whatever the instruction set. The
# ARCHIVES are the core as configured and the core built without
# optimisation, where inline functions are not folded away and show up.
foreach(var NM ARCHIVES VECTOR_OBJECTS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "isa_linkage.cmake: -D${var}=... is missing")
  endif()
  string(REPLACE "," ";" ${var} "${${var}}")
endforeach()
if(NOT VECTOR_OBJECTS)
  message(STATUS "isa_linkage: this build compiles no file for a vector instruction set "
                 "(the x86 kernels are for x86 targets only); nothing to check")
  return()
endif()

set(problems "")
set(checked 0)
foreach(archive ${ARCHIVES})
  if(NOT EXISTS "${archive}")
    message(FATAL_ERROR "isa_linkage.cmake: ${archive} does not exist (not built?)")
  endif()
  execute_process(COMMAND ${NM} --defined-only "${archive}"
                  OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "isa_linkage.cmake: ${NM} ${archive} failed (${status}): ${errors}")
  endif()
  # "member.o:" starts each member; then "address kind name" lines.
  string(REPLACE ";" "\\;" listing "${listing}")
  string(REPLACE "\n" ";" lines "${listing}")
  set(member "")
  set(weak "")  # "member symbol" pairs
  set(seen "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^([^ ]+\\.(o|obj)):$")
      get_filename_component(member "${CMAKE_MATCH_1}" NAME)
      list(APPEND seen "${member}")
    elseif(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) (.+)$")
      set(kind "${CMAKE_MATCH_1}")
      set(symbol "${CMAKE_MATCH_2}")
      if(kind STREQUAL "W")
        list(APPEND weak "${member}|${symbol}")
      endif()
    endif()
  endforeach()
  foreach(source ${VECTOR_OBJECTS})
    get_filename_component(name "${source}" NAME)
    list(FIND seen "${name}.o" at)
    if(at LESS 0)
      list(FIND seen "${name}.obj" at)
    endif()
    if(at LESS 0)
      message(FATAL_ERROR "isa_linkage.cmake: ${archive} has no member for ${name} "
                          "(members: ${seen})")
    endif()
    math(EXPR checked "${checked} + 1")
    foreach(pair ${weak})
      string(REPLACE "|" ";" parts "${pair}")
      list(GET parts 0 where)
      list(GET parts 1 symbol)
      if(where MATCHES "^${name}\\.(o|obj)$")
        # Which other files of the core define the same symbol: the copies
        # the linker chooses among.
        set(others "")
        foreach(other ${weak})
          string(REPLACE "|" ";" oparts "${other}")
          list(GET oparts 0 owhere)
          list(GET oparts 1 osymbol)
          if(osymbol STREQUAL symbol AND NOT owhere STREQUAL where)
            list(APPEND others "${owhere}")
          endif()
        endforeach()
        if(others)
          list(JOIN others ", " others)
          set(others " (also defined by ${others})")
        endif()
        string(APPEND problems "\n  ${archive}: ${where} defines weak ${symbol}${others}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(problems)
  message(FATAL_ERROR "Weak code in files compiled for a vector instruction set; "
                      "the linker may keep these copies for callers anywhere. Give them "
                      "internal linkage (static, or an unnamed namespace):${problems}")
endif()
list(LENGTH ARCHIVES archive_count)
message(STATUS "isa_linkage: ${checked} vector objects (${archive_count} builds of the core) "
               "define no weak code")
