# Authenticode signature for setup.exe (SHA-256), made right after the link
# with the key and certificate in SETUP_SIGN_PKCS12. No timestamp: the build
# never goes on the network. The password stays in SETUP_SIGN_PASSWORD_FILE;
# osslsigncode reads it from there (-readpass), so it never appears on a
# command line that other users of the machine can see.
#
# Included by Launcher.cmake to add the step to the target, and run as a
# script by that step:
#   cmake -DEXE=F -DPKCS12=F -DPASSWORD_FILE=F -DOSSLSIGNCODE=P -P Sign.cmake

if(CMAKE_SCRIPT_MODE_FILE)
  # Sign into a file beside the executable, then move it over the executable,
  # so that setup.exe is never half written. If signing fails the unsigned
  # executable goes too: the next build links and signs again instead of
  # taking it as up to date.
  set(signed "${EXE}.signing")
  file(REMOVE "${signed}")  # osslsigncode will not overwrite a file
  execute_process(
      COMMAND "${OSSLSIGNCODE}" sign -pkcs12 "${PKCS12}" -readpass "${PASSWORD_FILE}"
              -h sha256 -in "${EXE}" -out "${signed}"
      RESULT_VARIABLE result
      OUTPUT_VARIABLE output
      ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    file(REMOVE "${signed}" "${EXE}")
    message(FATAL_ERROR "Signing ${EXE} with ${PKCS12} failed (${result}):\n${output}")
  endif()
  file(RENAME "${signed}" "${EXE}")
  message(STATUS "Signed ${EXE} with ${PKCS12}")
  return()
endif()

find_program(OSSLSIGNCODE osslsigncode)
if(NOT OSSLSIGNCODE)
  message(FATAL_ERROR "SETUP_SIGN_PKCS12 is set but osslsigncode was not found; install it (Debian: osslsigncode)")
endif()
if(NOT SETUP_SIGN_PASSWORD_FILE)
  message(FATAL_ERROR "SETUP_SIGN_PKCS12 is set: SETUP_SIGN_PASSWORD_FILE must name the file holding its password")
endif()
get_filename_component(sign_pkcs12 "${SETUP_SIGN_PKCS12}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
get_filename_component(sign_password_file "${SETUP_SIGN_PASSWORD_FILE}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
if(NOT EXISTS "${sign_pkcs12}" OR IS_DIRECTORY "${sign_pkcs12}")
  message(FATAL_ERROR "Code-signing PKCS#12 file not found (SETUP_SIGN_PKCS12): ${sign_pkcs12}")
endif()
if(NOT EXISTS "${sign_password_file}" OR IS_DIRECTORY "${sign_password_file}")
  message(FATAL_ERROR "Code-signing password file not found (SETUP_SIGN_PASSWORD_FILE): ${sign_password_file}")
endif()

# Relink, and so sign again, when the key or its password changes, and when
# signing is first turned on for a build folder that already holds an
# unsigned setup.exe (the settings file is rewritten only when it changes).
set(sign_settings ${CMAKE_BINARY_DIR}/generated/sign-settings.txt)
file(CONFIGURE OUTPUT ${sign_settings} CONTENT "${sign_pkcs12}\n${sign_password_file}\n")
set_property(TARGET setup APPEND PROPERTY LINK_DEPENDS
    ${sign_settings} ${sign_pkcs12} ${sign_password_file})

# POST_BUILD steps run in the order they are added; Launcher.cmake includes
# this file after its size report, so the report shows the unsigned size.
add_custom_command(TARGET setup POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:setup> -DPKCS12=${sign_pkcs12}
            -DPASSWORD_FILE=${sign_password_file} -DOSSLSIGNCODE=${OSSLSIGNCODE}
            -P ${CMAKE_CURRENT_LIST_FILE}
    VERBATIM)
