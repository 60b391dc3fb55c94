// Diagnostic lines of the engine's cryptographic layer. They go to standard
// output and are not otherwise reported; the caller sees only the failure.
#pragma once

#include <cstdio>

inline void WriteDiagnostic(const char* line) {
  std::fputs(line, stdout);
  std::fflush(stdout);
}
