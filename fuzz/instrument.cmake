# The fuzzing build: everything compiled with libFuzzer's coverage hooks and
# AddressSanitizer with UndefinedBehaviorSanitizer, which abort on the first
# report so that libFuzzer keeps the input.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "QUILLMARK_FUZZ needs clang: configure with -DCMAKE_TOOLCHAIN_FILE=${CMAKE_CURRENT_LIST_DIR}/clang.cmake")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer -g)
add_link_options(-fsanitize=address,undefined)
