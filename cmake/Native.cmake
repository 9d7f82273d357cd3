# Native build: the logic and its unit tests, with sanitizers; optionally
# the command-line fuzzer (clang only).
option(SETUP_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" ON)
option(SETUP_FUZZ "Build the libFuzzer target (needs clang)" OFF)

add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Werror)
if(SETUP_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(SETUP_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

add_library(setup_logic STATIC ${SETUP_LOGIC_SOURCES})
target_include_directories(setup_logic PUBLIC installer/setup ${CMAKE_BINARY_DIR}/generated)

enable_testing()
if(SETUP_FUZZ)
  add_subdirectory(tests/fuzz)
else()
  add_subdirectory(tests/unit)
endif()
