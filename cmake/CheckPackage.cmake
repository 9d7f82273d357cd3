# Refuses anything but a Windows Installer package: it is a compound file,
# so it starts with D0 CF 11 E0 A1 B1 1A E1. Usable as a module
# (check_installer_package) or as a script (cmake -DPACKAGE=F -P ...).
function(check_installer_package file)
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "Installer package not found: ${file}")
  endif()
  file(READ "${file}" signature LIMIT 8 HEX)
  if(NOT signature STREQUAL "d0cf11e0a1b11ae1")
    message(FATAL_ERROR "Not a Windows Installer package (no compound-file signature): ${file}")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED PACKAGE)
  check_installer_package("${PACKAGE}")
endif()
