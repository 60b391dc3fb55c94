// CPGenRandom: random bytes from OpenSSL's process-wide generator, seeded on
// every call from the system, two fixed seed texts and the seed file.
#pragma once

#include <kavrin/types.h>

#include <string>

// Fills buffer with length random bytes; false (with a diagnostic line on
// standard output) when no seed file name is known or the generator fails.
bool GenRandom(BYTE* buffer, DWORD length);

// The generator's seed file: OpenSSL's own choice ($RANDFILE, else .rnd in
// the home directory), else .rnd in the machine root; empty when neither is
// known. Never cut short, however long the directory's name.
std::string SeedFileName();
