# The installer package the launcher carries: a file the release engineer
# names with -DSETUP_PACKAGE, or else the sample package built here.
# Sets SETUP_PACKAGE_FILE and, for the sample, SETUP_PACKAGE_TARGET.
include(${CMAKE_CURRENT_LIST_DIR}/CheckPackage.cmake)

if(SETUP_PACKAGE)
  get_filename_component(SETUP_PACKAGE_FILE "${SETUP_PACKAGE}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
  check_installer_package("${SETUP_PACKAGE_FILE}")
  set(SETUP_PACKAGE_TARGET "")
  # Reconfigure when the file changes, so that a replaced file is checked again.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${SETUP_PACKAGE_FILE}")
else()
  find_program(WIXL wixl REQUIRED)
  set(SETUP_PACKAGE_FILE ${CMAKE_BINARY_DIR}/package/VeltraneUsbDrivers.msi)
  file(GLOB_RECURSE sample_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/installer/package/*)
  add_custom_command(OUTPUT ${SETUP_PACKAGE_FILE}
      COMMAND ${CMAKE_SOURCE_DIR}/installer/package/build-package.sh ${SETUP_PACKAGE_FILE}
      COMMAND ${CMAKE_COMMAND} -DPACKAGE=${SETUP_PACKAGE_FILE}
              -P ${CMAKE_CURRENT_LIST_DIR}/CheckPackage.cmake
      DEPENDS ${sample_sources}
      COMMENT "Building the sample installer package"
      VERBATIM)
  add_custom_target(sample_package DEPENDS ${SETUP_PACKAGE_FILE})
  set(SETUP_PACKAGE_TARGET sample_package)
endif()
