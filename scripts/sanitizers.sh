# shellcheck shell=bash
# Sourced by scripts/sanitize and scripts/soak: the sanitizers' run-time options and the sanitized
# builds, each in a directory of its own beside the plain build/.

root=${root:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}

# A leak or an undefined behaviour fails the program; suppressions only where the design makes a
# leak or a race on purpose (see the files).
export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="suppressions=$root/scripts/tsan.supp:second_deadlock_stack=1"

# The build directory of a sanitizer kind (address: ASan+UBSan, thread: TSan).
sanitized_build_dir() {
  case "$1" in
    address) echo "$root/build-asan" ;;
    thread) echo "$root/build-tsan" ;;
    *) echo "unknown sanitizer: $1" >&2; return 2 ;;
  esac
}

# Configures and builds the tool, the bench and the tests with sanitizer kind $1.
sanitized_build() {
  local build
  build=$(sanitized_build_dir "$1")
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAPCAL_SANITIZE="$1" >/dev/null
  cmake --build "$build" -j "$(nproc)"
}
