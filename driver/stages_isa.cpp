#include "driver/stages_isa.h"

#include <unistd.h>

const char* stages_isa() { return FACEPROBE_ISA; }

std::string version_line(const std::string& program) {
  return program + " " FACEPROBE_VERSION " (" + stages_isa() + ")";
}

#ifdef __AVX2__
namespace {

// Runs when the library is loaded, before its other initialisers (priority
// 101 comes first), so before any of its code: a copy forced on a processor
// that lacks its instructions (LD_LIBRARY_PATH naming it) ends the program
// with a message instead of an illegal instruction. Compiled for any x86-64,
// whatever the copy is built for.
__attribute__((constructor(101), target("arch=x86-64"))) void require_processor() {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
      __builtin_cpu_supports("bmi2")) {
    return;
  }
  const char message[] = "faceprobe: this copy of libfaceprobe-stages.so is built for " FACEPROBE_ISA
                         " (AVX2), which this processor lacks; remove it from LD_LIBRARY_PATH\n";
  const ssize_t written = ::write(STDERR_FILENO, message, sizeof message - 1);
  (void)written;  // nothing more can be said where standard error fails
  _exit(2);
}

}  // namespace
#endif
