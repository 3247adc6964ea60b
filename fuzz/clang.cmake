# Toolchain of the fuzzing build: libFuzzer comes with clang only.
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
