# Prints what the launcher adds to the package it carries.
file(SIZE "${EXE}" exe_size)
file(SIZE "${PACKAGE}" package_size)
math(EXPR overhead "${exe_size} - ${package_size}")
math(EXPR overhead_kib "(${overhead} + 1023) / 1024")
message(STATUS "setup.exe: ${exe_size} bytes, package ${package_size} bytes, launcher overhead ${overhead} bytes (${overhead_kib} KiB)")
