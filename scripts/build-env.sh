# Sourced by the build scripts (after setting $root): one compiler cache for
# every checkout and build folder, and a fast linker.
#
# The cache is the same folder for every clone (not one below the checkout
# or below $XDG_CACHE_HOME). Paths below the checkout are hashed relative to
# it and the build folder is left out of the hash, so a fresh clone in
# another folder hits what an earlier one compiled, debug builds included
# (their debug info then names the earlier build folder). It holds the plain,
# ThreadSanitizer and AddressSanitizer builds of CI several times over.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/ccache}
  export CCACHE_BASEDIR=$root CCACHE_NOHASHDIR=true
  export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-10G}
fi
# mold links the test executables, each with OpenCV, Qt and Boost, several
# times faster than the default linker.
quillmark_link_flags=
if command -v mold >/dev/null; then
  quillmark_link_flags=-fuse-ld=mold
fi

# The AddressSanitizer and UndefinedBehaviorSanitizer build with libFuzzer's
# coverage hooks (clang, fuzz/instrument.cmake) in folder $1: the fuzz
# targets (scripts/fuzz.sh) and the sanitized suite (scripts/sanitize.sh
# asan) are built there from the same objects, so CI compiles them once.
configure_asan_build() {
  cmake -S "$root" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/fuzz/clang.cmake" -DQUILLMARK_FUZZ=ON -DQUILLMARK_BENCH=OFF \
    -DCMAKE_EXE_LINKER_FLAGS="$quillmark_link_flags" -DCMAKE_SHARED_LINKER_FLAGS="$quillmark_link_flags" >/dev/null
}
