# How this host runs i386 programs: straight on the kernel (IA-32 emulation
# built in and enabled) or under qemu's user-mode emulator (qemu-i386, from
# qemu-user). Both kinds of host are common, so the choice is a switch:
#
#   TILESTREAM_I386_EMULATION = AUTO  probe the kernel; qemu-i386 only if it
#                                     cannot run the probe (the default)
#                               ON    always through qemu-i386
#                               OFF   never; the kernel must run i386 programs
#
# The cache variable wins; its first value may also come from the environment
# variable of the same name. Forcing either way lets one machine exercise
# both kinds of host.
#
#   tilestream_i386_runner(<var>)
#
# sets <var> to the command prefix that runs an i386 program here: empty, or
# the emulator's path. Configuring fails with a message naming the switch
# when the asked-for way cannot work on this host.

if(DEFINED ENV{TILESTREAM_I386_EMULATION} AND NOT DEFINED CACHE{TILESTREAM_I386_EMULATION})
  set(_tilestream_i386_default "$ENV{TILESTREAM_I386_EMULATION}")
else()
  set(_tilestream_i386_default AUTO)
endif()
set(TILESTREAM_I386_EMULATION "${_tilestream_i386_default}" CACHE STRING
    "Run i386 programs under qemu-i386: AUTO (only where the kernel cannot), ON or OFF")
set_property(CACHE TILESTREAM_I386_EMULATION PROPERTY STRINGS AUTO ON OFF)
string(TOUPPER "${TILESTREAM_I386_EMULATION}" _tilestream_i386_mode)
if(NOT _tilestream_i386_mode MATCHES "^(AUTO|ON|OFF)$")
  message(FATAL_ERROR "TILESTREAM_I386_EMULATION is '${TILESTREAM_I386_EMULATION}'; "
                      "it takes AUTO, ON or OFF")
endif()

# Builds a do-nothing i386 program with the project's C compiler and tries
# to run it; <var> is TRUE when the kernel ran it. Probed at every configure,
# so a build tree moved to another host is not misled by an old answer.
function(_tilestream_kernel_runs_i386 var)
  set(dir ${CMAKE_BINARY_DIR}/CMakeFiles/i386-probe)
  file(MAKE_DIRECTORY ${dir})
  file(WRITE ${dir}/probe.c "int main(void) { return 0; }\n")
  execute_process(COMMAND ${CMAKE_C_COMPILER} -m32 ${dir}/probe.c -o ${dir}/probe
                  RESULT_VARIABLE built OUTPUT_QUIET ERROR_QUIET)
  set(ran 1)
  if(built EQUAL 0)
    execute_process(COMMAND ${dir}/probe RESULT_VARIABLE ran OUTPUT_QUIET ERROR_QUIET)
  endif()
  if(ran EQUAL 0)
    set(${var} TRUE PARENT_SCOPE)
  else()
    set(${var} FALSE PARENT_SCOPE)
  endif()
endfunction()

function(tilestream_i386_runner var)
  # Worked out once per configure run; every caller gets the same answer.
  get_property(done GLOBAL PROPERTY TILESTREAM_I386_RUNNER_DONE)
  if(done)
    get_property(runner GLOBAL PROPERTY TILESTREAM_I386_RUNNER)
    set(${var} "${runner}" PARENT_SCOPE)
    return()
  endif()
  _tilestream_kernel_runs_i386(native)
  set(use_qemu FALSE)
  if(_tilestream_i386_mode STREQUAL "ON")
    set(use_qemu TRUE)
  elseif(_tilestream_i386_mode STREQUAL "OFF")
    if(NOT native)
      message(FATAL_ERROR
        "This kernel does not run i386 programs (no IA-32 emulation), but "
        "TILESTREAM_I386_EMULATION is OFF. Set TILESTREAM_I386_EMULATION=AUTO or ON "
        "to run them under qemu-i386 (Debian's qemu-user).")
    endif()
  elseif(NOT native)
    set(use_qemu TRUE)
  endif()
  set(runner "")
  if(use_qemu)
    find_program(QEMU_I386 qemu-i386)
    if(NOT QEMU_I386)
      message(FATAL_ERROR
        "i386 programs are to run under qemu-i386 (TILESTREAM_I386_EMULATION="
        "${TILESTREAM_I386_EMULATION}; the kernel runs them: ${native}), but qemu-i386 "
        "was not found: install Debian's qemu-user, or set TILESTREAM_I386_EMULATION=OFF "
        "on a kernel that runs i386 programs.")
    endif()
    set(runner ${QEMU_I386})
  endif()
  message(STATUS "i386 programs: TILESTREAM_I386_EMULATION=${TILESTREAM_I386_EMULATION}, "
                 "kernel runs them: ${native}, runner: '${runner}'")
  set_property(GLOBAL PROPERTY TILESTREAM_I386_RUNNER_DONE TRUE)
  set_property(GLOBAL PROPERTY TILESTREAM_I386_RUNNER "${runner}")
  # For scripts that look at a configured tree (scripts/test.sh).
  set(TILESTREAM_I386_RUNNER_USED "${runner}" CACHE INTERNAL "How i386 programs run here")
  set(${var} "${runner}" PARENT_SCOPE)
endfunction()
