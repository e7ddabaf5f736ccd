# cmake -DMODULE=... -DCMAKE_C_COMPILER=... -P runner_probe.cmake (the probe is
# built under the working directory)
# Prints the i386 runner that cmake/I386Emulation.cmake chooses.
include(${MODULE})
tilestream_i386_runner(runner)
message("runner=[${runner}]")
