# Compile flags of a libFuzzer build: every library of the tree is built with
# coverage feedback for the fuzzer and with AddressSanitizer and
# UndefinedBehaviorSanitizer; only the fuzz programs link libFuzzer's main.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "K730_BUILD_FUZZ needs clang (cmake --preset fuzz)")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                    -fno-sanitize-recover=all)
add_link_options(-fsanitize=address,undefined)
