# The installer package the launcher carries: a file the release engineer
# names with -DSETUP_PACKAGE, or else the sample package built here.
# Sets SETUP_PACKAGE_FILE and, for the sample, SETUP_PACKAGE_TARGET; prints
# the package's facts, leaves them in package_<name> ("(unknown)" when they
# cannot be read) and sets SETUP_PACKAGE_VERSION to its ProductVersion
# (empty when it cannot be read).
include(${CMAKE_CURRENT_LIST_DIR}/CheckPackage.cmake)

set(package_fact_names ProductName Manufacturer ProductVersion ProductCode UpgradeCode)

# Reads the facts from the Property table with msitools' msiinfo into
# package_<name>. The launcher never looks inside the package, so one whose
# tables cannot be read is still carried, with a warning.
function(read_package_facts file)
  find_program(MSIINFO msiinfo)
  if(NOT MSIINFO)
    message(WARNING "msiinfo (Debian: msitools) not found: cannot read the facts of ${file}")
    return()
  endif()
  execute_process(COMMAND "${MSIINFO}" export "${file}" Property
                  RESULT_VARIABLE result OUTPUT_VARIABLE table ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    string(STRIP "${error}" error)
    message(WARNING "Cannot read the Property table of ${file} (msiinfo: ${error}); "
                    "carrying it anyway")
    return()
  endif()
  foreach(name IN LISTS package_fact_names)
    if(table MATCHES "(^|\n)${name}\t([^\r\n]*)")
      set(package_${name} "${CMAKE_MATCH_2}" PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

# The same facts from the sample's WiX source, since the sample package
# itself is only built with the launcher.
function(read_wix_facts file)
  file(READ "${file}" source)
  string(REGEX MATCH "<Product[ \t\r\n][^>]*>" product "${source}")
  foreach(fact ProductName:Name Manufacturer:Manufacturer ProductVersion:Version ProductCode:Id
               UpgradeCode:UpgradeCode)
    string(REPLACE ":" ";" fact "${fact}")
    list(GET fact 0 name)
    list(GET fact 1 attribute)
    if(product MATCHES "[ \t\r\n]${attribute}=\"([^\"]*)\"")
      set(value "${CMAKE_MATCH_1}")
      # WiX writes codes without braces; the package holds them braced.
      if(value MATCHES "^[0-9A-Fa-f-]+$" AND name MATCHES "Code$")
        string(TOUPPER "{${value}}" value)
      endif()
      set(package_${name} "${value}" PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

if(SETUP_PACKAGE)
  get_filename_component(SETUP_PACKAGE_FILE "${SETUP_PACKAGE}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
  check_installer_package("${SETUP_PACKAGE_FILE}")
  set(SETUP_PACKAGE_TARGET "")
  # Reconfigure when the file changes, so that a replaced file is checked again.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${SETUP_PACKAGE_FILE}")
  read_package_facts("${SETUP_PACKAGE_FILE}")
  set(facts_from "${SETUP_PACKAGE_FILE}")
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
  set(sample_source ${CMAKE_SOURCE_DIR}/installer/package/usb-drivers.wxs)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${sample_source}")
  read_wix_facts("${sample_source}")
  set(facts_from "${sample_source} (the sample package, built with the launcher)")
endif()

message(STATUS "Package facts, from ${facts_from}:")
foreach(name IN LISTS package_fact_names)
  if(NOT DEFINED package_${name})
    set(package_${name} "(unknown)")
  endif()
  string(LENGTH "${name}" length)
  math(EXPR padding "16 - ${length}")
  string(REPEAT " " ${padding} padding)
  message(STATUS "  ${name}${padding}${package_${name}}")
endforeach()
if(SETUP_REMOVAL_CODE STREQUAL package_ProductCode)
  set(removal_note "the package's ProductCode")
else()
  # Intended when the removal is meant for an earlier version's code.
  set(removal_note "NOT the package's ProductCode ${package_ProductCode}")
endif()
message(STATUS "  Removes first   ${SETUP_REMOVAL_CODE} (SETUP_PREVIOUS_PRODUCT_CODE: ${removal_note})")
set(SETUP_PACKAGE_VERSION "")
if(NOT package_ProductVersion STREQUAL "(unknown)")
  set(SETUP_PACKAGE_VERSION "${package_ProductVersion}")
endif()
