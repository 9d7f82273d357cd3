# Windows build: setup.exe, carrying an installer package in its resources.
enable_language(RC)
# The image is finished after the link by a script (finish-image.py), and
# the default icon is drawn by one.
find_program(SETUP_PYTHON3 NAMES python3 REQUIRED)

set(SETUP_PACKAGE "" CACHE FILEPATH
    "Installer package (.msi) to carry; empty for the sample package built from installer/package")
set(SETUP_PRODUCT "" CACHE STRING
    "Product name in the version block; empty for the package's ProductName")
set(SETUP_COMPANY "" CACHE STRING
    "Company name in the version block; empty for the package's Manufacturer")
set(SETUP_DESCRIPTION "" CACHE STRING
    "File description in the version block; empty for \"<the product name> Setup\"")
set(SETUP_SIGN_PKCS12 "" CACHE FILEPATH "PKCS#12 file holding the code-signing key and certificate")
set(SETUP_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the PKCS#12 password")

include(${CMAKE_CURRENT_LIST_DIR}/Package.cmake)

# The version block: SETUP_VERSION, else the package's ProductVersion, else
# (a package whose tables cannot be read) the project version.
if(NOT SETUP_VERSION STREQUAL "")
  set(SETUP_BLOCK_VERSION "${SETUP_VERSION}")
  set(version_source "SETUP_VERSION")
else()
  parse_file_version(package_version "${SETUP_PACKAGE_VERSION}")
  if(package_version_OK)
    set(SETUP_BLOCK_VERSION "${SETUP_PACKAGE_VERSION}")
    set(version_source "the package's ProductVersion")
  else()
    if(NOT SETUP_PACKAGE_VERSION STREQUAL "")
      message(WARNING "The package's ProductVersion \"${SETUP_PACKAGE_VERSION}\" is not up to "
                      "four numbers 0-65535; the version block shows ${PROJECT_VERSION}")
    endif()
    set(SETUP_BLOCK_VERSION "${PROJECT_VERSION}")
    set(version_source "the project version")
  endif()
endif()
parse_file_version(SETUP_BLOCK_VERSION "${SETUP_BLOCK_VERSION}")
message(STATUS "  Version block   ${SETUP_BLOCK_VERSION} (${version_source})")

# The version block's texts: each option when given; else the package's own
# names (the description: "<product name> Setup"). The sample build keeps
# the sample product's texts. A package of the release engineer's whose names
# cannot be read must not borrow the sample's, so configuring stops there and
# names the options that would replace them.
function(choose_version_text out option sample package_fact)
  if(NOT "${${option}}" STREQUAL "")
    set(text "${${option}}")
    set(source "${option}")
  elseif(NOT SETUP_PACKAGE)
    set(text "${sample}")
    set(source "the sample product's text")
  elseif(NOT "${package_${package_fact}}" MATCHES "^(\\(unknown\\))?$")
    set(text "${package_${package_fact}}")
    set(source "the package's ${package_fact}")
  else()
    set(text "")
    set(source "")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
  set(${out}_SOURCE "${source}" PARENT_SCOPE)
endfunction()
choose_version_text(SETUP_PRODUCT_TEXT SETUP_PRODUCT "Veltrane USB Drivers" ProductName)
choose_version_text(SETUP_COMPANY_TEXT SETUP_COMPANY "Veltrane" Manufacturer)
set(missing_facts)
set(missing_options)
if(SETUP_PRODUCT_TEXT_SOURCE STREQUAL "")
  list(APPEND missing_facts "no ProductName")
  list(APPEND missing_options "-DSETUP_PRODUCT=<product name>")
endif()
if(SETUP_COMPANY_TEXT_SOURCE STREQUAL "")
  list(APPEND missing_facts "no Manufacturer")
  list(APPEND missing_options "-DSETUP_COMPANY=<company name>")
endif()
if(missing_options)
  list(JOIN missing_facts " and " missing_facts)
  list(JOIN missing_options " and " missing_options)
  message(FATAL_ERROR "The version block's texts cannot be read from ${SETUP_PACKAGE_FILE} "
                      "(${missing_facts} in its Property table, or the table itself could not "
                      "be read): pass ${missing_options}")
endif()
if(NOT SETUP_DESCRIPTION STREQUAL "")
  set(SETUP_DESCRIPTION_TEXT "${SETUP_DESCRIPTION}")
  set(SETUP_DESCRIPTION_TEXT_SOURCE "SETUP_DESCRIPTION")
else()
  set(SETUP_DESCRIPTION_TEXT "${SETUP_PRODUCT_TEXT} Setup")
  set(SETUP_DESCRIPTION_TEXT_SOURCE "${SETUP_PRODUCT_TEXT_SOURCE}")
endif()
# The resource script is read as UTF-8 (setup.rc): anything else would reach
# the image as other characters.
foreach(option IN ITEMS SETUP_PRODUCT SETUP_COMPANY SETUP_DESCRIPTION)
  check_utf8(text_ok "${${option}_TEXT}")
  if(NOT text_ok)
    string(HEX "${${option}_TEXT}" hex)
    message(FATAL_ERROR "${${option}_TEXT_SOURCE} is not valid UTF-8 (bytes ${hex})")
  endif()
endforeach()
message(STATUS "  Product text    ${SETUP_PRODUCT_TEXT} (${SETUP_PRODUCT_TEXT_SOURCE})")
message(STATUS "  Company text    ${SETUP_COMPANY_TEXT} (${SETUP_COMPANY_TEXT_SOURCE})")
message(STATUS "  Description     ${SETUP_DESCRIPTION_TEXT} (${SETUP_DESCRIPTION_TEXT_SOURCE})")
message(STATUS "  Execution level ${SETUP_EXECUTION_LEVEL}")

# The icon: SETUP_ICON, else the project's own, drawn by make-icon.py.
if(SETUP_ICON)
  set(SETUP_ICON_FILE_USED "${SETUP_ICON_FILE}")
  set(SETUP_ICON_TARGET "")
else()
  set(SETUP_ICON_FILE_USED ${CMAKE_BINARY_DIR}/generated/setup.ico)
  set(icon_script ${CMAKE_SOURCE_DIR}/installer/setup/resources/make-icon.py)
  add_custom_command(OUTPUT ${SETUP_ICON_FILE_USED}
      COMMAND ${SETUP_PYTHON3} ${icon_script} ${SETUP_ICON_FILE_USED}
      DEPENDS ${icon_script}
      COMMENT "Drawing the default icon"
      VERBATIM)
  add_custom_target(default_icon DEPENDS ${SETUP_ICON_FILE_USED})
  set(SETUP_ICON_TARGET default_icon)
endif()
# The manifest as carried: its comments and the layout between elements are
# for the reader of setup.manifest.in, and the system ignores them, so they
# are left out of the image.
file(READ installer/setup/resources/setup.manifest.in manifest)
string(REGEX REPLACE "<!--([^-]|-[^-])*-->" "" manifest "${manifest}")
string(REGEX REPLACE ">[ \t\r\n]+<" "><" manifest "${manifest}")
string(REGEX REPLACE "[ \t\r\n]+" " " manifest "${manifest}")
string(STRIP "${manifest}" manifest)
set(SETUP_MANIFEST_FILE ${CMAKE_BINARY_DIR}/generated/setup.manifest)
file(CONFIGURE OUTPUT ${SETUP_MANIFEST_FILE} CONTENT "${manifest}\n" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_SOURCE_DIR}/installer/setup/resources/setup.manifest.in)

# Text for a string inside the resource script.
function(rc_string out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\"\"" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
rc_string(SETUP_PACKAGE_RC "${SETUP_PACKAGE_FILE}")
rc_string(SETUP_MANIFEST_RC "${SETUP_MANIFEST_FILE}")
rc_string(SETUP_ICON_RC "${SETUP_ICON_FILE_USED}")
rc_string(SETUP_BLOCK_VERSION_RC "${SETUP_BLOCK_VERSION}")
rc_string(SETUP_PRODUCT_RC "${SETUP_PRODUCT_TEXT}")
rc_string(SETUP_COMPANY_RC "${SETUP_COMPANY_TEXT}")
rc_string(SETUP_DESCRIPTION_RC "${SETUP_DESCRIPTION_TEXT}")
configure_file(installer/setup/resources/setup_build.h.in generated/setup_build.h @ONLY)

add_executable(setup WIN32
    ${SETUP_LOGIC_SOURCES}
    installer/setup/app/the_app.cpp
    installer/setup/platform/win32_host.cpp
    installer/setup/platform/win_main.cpp
    installer/setup/resources/setup.rc)
set_target_properties(setup PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(setup PRIVATE installer/setup installer/setup/resources
                                         ${CMAKE_BINARY_DIR}/generated)
# A change of package, icon or manifest rebuilds the resources.
set_source_files_properties(installer/setup/resources/setup.rc PROPERTIES
    OBJECT_DEPENDS "${SETUP_PACKAGE_FILE};${SETUP_ICON_FILE_USED};${SETUP_MANIFEST_FILE}")
foreach(generated IN ITEMS ${SETUP_PACKAGE_TARGET} ${SETUP_ICON_TARGET})
  add_dependencies(setup ${generated})
endforeach()

target_compile_definitions(setup PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
target_compile_options(setup PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Wshadow -Werror -Os
      -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
      -ffunction-sections -fdata-sections -municode>)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  # Windows XP SP3 is the oldest target (5.01); a 32-bit process on 64-bit
  # Windows gets 4 GiB of address space only when it says it can use it.
  set(pe_version 5,--minor-os-version,1,--major-subsystem-version,5,--minor-subsystem-version,1)
  # The toolchain's layout gives ten page-aligned sections; this one five,
  # aligned to 512 bytes in the file but for the resource section, which
  # starts at a whole page so that the loader can map the package rather
  # than copy it (compact-i386.ld). The image registers no structured
  # exception handler, and says so (--no-seh).
  set(pe_arch_options -Wl,--large-address-aware -Wl,--no-seh
      -Wl,-T,${CMAKE_CURRENT_LIST_DIR}/compact-i386.ld -Wl,--file-alignment,512
      -Wl,-e,_SetupEntry@0)
  set(finish_options --page-aligned-resources)
  set_property(TARGET setup APPEND PROPERTY LINK_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/compact-i386.ld)
else()
  set(pe_version 5,--minor-os-version,2,--major-subsystem-version,5,--minor-subsystem-version,2)
  # The toolchain's layout: sections aligned in the file as in memory, so
  # the loader can map the (large) resource section instead of copying it.
  set(pe_arch_options -Wl,--high-entropy-va -Wl,--file-alignment,4096 -Wl,-e,SetupEntry)
  set(finish_options)
endif()
target_link_options(setup PRIVATE
    -municode -mwindows -static -s -nostartfiles
    -Wl,--gc-sections
    -Wl,--major-os-version,${pe_version}
    -Wl,--dynamicbase,--nxcompat,--tsaware
    ${pe_arch_options}
    # Reproducible: no link time in the header.
    -Wl,--no-insert-timestamp
    # The link map beside the executable: the image checks read the linker's
    # symbols from it (setup.exe itself is stripped).
    -Wl,-Map=${CMAKE_BINARY_DIR}/setup.map)
set_property(TARGET setup APPEND PROPERTY LINK_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/finish-image.py)

# Run from the paging file when started from a share or removable medium, the
# resource section read-only, and (32-bit) where it can be mapped.
add_custom_command(TARGET setup POST_BUILD
    COMMAND ${SETUP_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/finish-image.py $<TARGET_FILE:setup>
            ${finish_options}
    VERBATIM)
add_custom_command(TARGET setup POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:setup> -DPACKAGE=${SETUP_PACKAGE_FILE}
            -P ${CMAKE_CURRENT_LIST_DIR}/ReportSize.cmake
    VERBATIM)

if(SETUP_SIGN_PKCS12)
  include(${CMAKE_CURRENT_LIST_DIR}/Sign.cmake)
endif()

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64" AND EXISTS ${CMAKE_SOURCE_DIR}/tests/e2e/tools/CMakeLists.txt)
  add_subdirectory(tests/e2e/tools)
endif()
