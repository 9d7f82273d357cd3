# What the launcher says about the product it installs: the code of the
# earlier product it removes first, the file name of the package copy, its
# icon, the execution level it asks for and the version it shows. Included
# by every build (the native one too: the logic's removal command and file
# name come from here), checked at configure time, and written to
# generated/setup_product.h for the logic.

set(SETUP_PREVIOUS_PRODUCT_CODE "{5E2A8C41-7B03-4D6F-9A12-C83F0E6B4D27}" CACHE STRING
    "Braced product code of the earlier product removed before each install")
set(SETUP_PACKAGE_FILE_NAME "VeltraneWindowsDriverInstaller.msi" CACHE STRING
    "File name of the package copy in the temporary directory")
set(SETUP_ICON "" CACHE FILEPATH "Icon (.ico) of setup.exe; empty for the project's own")
set(SETUP_EXECUTION_LEVEL "asInvoker" CACHE STRING
    "requestedExecutionLevel in the manifest: asInvoker, highestAvailable or requireAdministrator")
set_property(CACHE SETUP_EXECUTION_LEVEL PROPERTY STRINGS asInvoker highestAvailable requireAdministrator)
set(SETUP_VERSION "" CACHE STRING
    "Version in the version block (up to four numbers 0-65535); empty for the package's ProductVersion")

# --- SETUP_PREVIOUS_PRODUCT_CODE: a braced GUID. The engine writes product
# codes in upper case; lower-case hex names the same code and is written in
# upper case.
set(hex4 "[0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]")
set(guid_regex "^{${hex4}${hex4}-${hex4}-${hex4}-${hex4}-${hex4}${hex4}${hex4}}$")
if(NOT SETUP_PREVIOUS_PRODUCT_CODE MATCHES "${guid_regex}")
  message(FATAL_ERROR "SETUP_PREVIOUS_PRODUCT_CODE is \"${SETUP_PREVIOUS_PRODUCT_CODE}\": "
                      "not a braced product code like {5E2A8C41-7B03-4D6F-9A12-C83F0E6B4D27}")
endif()
string(TOUPPER "${SETUP_PREVIOUS_PRODUCT_CODE}" SETUP_REMOVAL_CODE)

# --- SETUP_PACKAGE_FILE_NAME: one plain Windows file name ending in .msi.
# The launcher holds it as UTF-16 inside a C++ wide string literal, so it
# must be UTF-8 (the compiler refuses anything else). Windows counts it in
# UTF-16 units: a character outside the Basic Multilingual Plane counts two.
set(utf8_continuation "[89ab][0-9a-f]")
set(utf8_hex_regex "^([0-7][0-9a-f]|(c[2-9a-f]|d[0-9a-f])${utf8_continuation}")
string(APPEND utf8_hex_regex "|e0[ab][0-9a-f]${utf8_continuation}")
string(APPEND utf8_hex_regex "|(e[1-9a-c]|e[ef])${utf8_continuation}${utf8_continuation}")
string(APPEND utf8_hex_regex "|ed[89][0-9a-f]${utf8_continuation}")  # no surrogates
string(APPEND utf8_hex_regex "|f0[9ab][0-9a-f]${utf8_continuation}${utf8_continuation}")
string(APPEND utf8_hex_regex "|f[1-3]${utf8_continuation}${utf8_continuation}${utf8_continuation}")
string(APPEND utf8_hex_regex "|f48[0-9a-f]${utf8_continuation}${utf8_continuation})*$")
# Sets <out> to whether `text` is valid UTF-8.
function(check_utf8 out text)
  string(HEX "${text}" hex)
  if(hex MATCHES "${utf8_hex_regex}")
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()
function(check_package_file_name name)
  set(what "SETUP_PACKAGE_FILE_NAME is \"${name}\"")
  string(ASCII 1 first_control)
  string(ASCII 31 last_control)
  string(HEX "${name}" hex)
  check_utf8(valid "${name}")
  if(NOT valid)
    # The value itself is not printable text: show its bytes.
    message(FATAL_ERROR "SETUP_PACKAGE_FILE_NAME is not valid UTF-8 (bytes ${hex})")
  endif()
  # Every byte but a continuation byte starts a character; four-byte ones
  # are two UTF-16 units.
  string(REGEX MATCHALL ".." bytes "${hex}")
  list(FILTER bytes EXCLUDE REGEX "^${utf8_continuation}$")
  list(LENGTH bytes length)
  list(FILTER bytes INCLUDE REGEX "^f")
  list(LENGTH bytes supplementary)
  math(EXPR length "${length} + ${supplementary}")
  if(name MATCHES "[/\\\\]")
    message(FATAL_ERROR "${what}: a file name only, without a folder (no / or \\)")
  elseif(name MATCHES "[<>:\"|?*]")
    message(FATAL_ERROR "${what}: a Windows file name cannot hold any of < > : \" | ? *")
  elseif(name MATCHES "[${first_control}-${last_control}]")
    message(FATAL_ERROR "${what}: a Windows file name cannot hold control characters")
  elseif(name MATCHES "[. ]$")
    message(FATAL_ERROR "${what}: a Windows file name cannot end with a dot or a space")
  elseif(NOT name MATCHES "^.+\\.[Mm][Ss][Ii]$")
    message(FATAL_ERROR "${what}: the name must end in .msi, after at least one character")
  elseif(length GREATER 128)
    # With the temporary folder in front (C:\Users\<name>\AppData\Local\Temp\
    # or deeper) a longer name takes the path past 260 characters.
    message(FATAL_ERROR "${what}: longer than 128 characters (${length})")
  elseif(name MATCHES "~[0-9]")
    # NAME~1.MSI can be the short (8.3) name of another file in the folder,
    # which the launcher would then delete on Windows XP (no final paths there
    # to tell the two apart).
    message(FATAL_ERROR "${what}: a ~ followed by a digit can be another file's short (8.3) name")
  endif()
  # Device names stay devices with any extension (NUL.msi is NUL), and
  # blanks before the dot do not help.
  string(REGEX REPLACE "\\..*$" "" stem "${name}")
  string(REGEX REPLACE " +$" "" stem "${stem}")
  string(TOUPPER "${stem}" stem)
  if(stem MATCHES "^(CON|PRN|AUX|NUL|(COM|LPT)([1-9]|¹|²|³))$")
    message(FATAL_ERROR "${what}: ${stem} is a reserved device name in Windows")
  endif()
endfunction()
check_package_file_name("${SETUP_PACKAGE_FILE_NAME}")

# --- SETUP_EXECUTION_LEVEL
if(NOT SETUP_EXECUTION_LEVEL MATCHES "^(asInvoker|highestAvailable|requireAdministrator)$")
  message(FATAL_ERROR "SETUP_EXECUTION_LEVEL is \"${SETUP_EXECUTION_LEVEL}\": "
                      "use asInvoker, highestAvailable or requireAdministrator")
endif()

# --- SETUP_VERSION
# Sets <out>_MAJOR, _MINOR, _PATCH and _TWEAK from up to four numbers
# 0-65535 (missing ones are 0), and <out>_OK to whether `text` is one.
function(parse_file_version out text)
  set(${out}_OK FALSE PARENT_SCOPE)
  if(NOT text MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
    return()
  endif()
  string(REPLACE "." ";" parts "${text}")
  set(fields MAJOR MINOR PATCH TWEAK)
  foreach(part IN LISTS parts)
    # Leading zeros are no error, but too many digits would overflow math().
    string(REGEX REPLACE "^0+([0-9])" "\\1" part "${part}")
    string(LENGTH "${part}" digits)
    if(digits GREATER 5 OR part GREATER 65535)
      return()
    endif()
    list(POP_FRONT fields field)
    set(${out}_${field} ${part} PARENT_SCOPE)
  endforeach()
  foreach(field IN LISTS fields)
    set(${out}_${field} 0 PARENT_SCOPE)
  endforeach()
  set(${out}_OK TRUE PARENT_SCOPE)
endfunction()
if(NOT SETUP_VERSION STREQUAL "")
  parse_file_version(setup_version_check "${SETUP_VERSION}")
  if(NOT setup_version_check_OK)
    message(FATAL_ERROR "SETUP_VERSION is \"${SETUP_VERSION}\": "
                        "use up to four dot-separated numbers 0-65535, like 2.1.0")
  endif()
endif()

# --- SETUP_ICON: an icon file (ICONDIR: reserved 0, type 1, at least one
# entry, each entry's image inside the file).
function(check_icon file)
  set(what "SETUP_ICON is \"${file}\"")
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "${what}: no such file")
  endif()
  file(SIZE "${file}" size)
  if(size LESS 22)
    message(FATAL_ERROR "${what}: not an icon (${size} bytes, too short for one)")
  endif()
  file(READ "${file}" header LIMIT 6 HEX)
  if(NOT header MATCHES "^00000100")
    message(FATAL_ERROR "${what}: not an icon (no icon header: reserved 0, type 1)")
  endif()
  string(SUBSTRING "${header}" 10 2 high)
  string(SUBSTRING "${header}" 8 2 low)
  math(EXPR count "0x${high}${low}")
  math(EXPR directory_end "6 + 16 * ${count}")
  if(count EQUAL 0 OR directory_end GREATER size)
    message(FATAL_ERROR "${what}: not an icon (${count} images listed in ${size} bytes)")
  endif()
  file(READ "${file}" directory LIMIT ${directory_end} HEX)
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    # Each 16-byte entry ends with the image's size and offset (little-endian).
    math(EXPR at "(6 + 16 * ${i} + 8) * 2")
    string(SUBSTRING "${directory}" ${at} 16 fields)
    string(REGEX REPLACE "^(..)(..)(..)(..)(..)(..)(..)(..)$"
           "0x\\4\\3\\2\\1;0x\\8\\7\\6\\5" fields "${fields}")
    list(GET fields 0 image_size)
    list(GET fields 1 image_offset)
    math(EXPR image_size "${image_size}")
    math(EXPR image_offset "${image_offset}")
    math(EXPR image_end "${image_offset} + ${image_size}")
    if(image_size LESS 40 OR image_offset LESS directory_end OR image_end GREATER size)
      message(FATAL_ERROR "${what}: not an icon (image ${i}: ${image_size} bytes at offset "
                          "${image_offset}, outside the ${size}-byte file)")
    endif()
  endforeach()
endfunction()
if(SETUP_ICON)
  get_filename_component(SETUP_ICON_FILE "${SETUP_ICON}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
  check_icon("${SETUP_ICON_FILE}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${SETUP_ICON_FILE}")
endif()

configure_file(${CMAKE_SOURCE_DIR}/installer/setup/resources/setup_product.h.in
               ${CMAKE_BINARY_DIR}/generated/setup_product.h @ONLY)
