// Exports that the module's project template declared and nothing uses. They
// stay because programs that link against the module may name them.
#pragma once

#include "front_export.h"

class FRONT_EXPORT CKavrinOrvex_S {
 public:
  CKavrinOrvex_S();
  CKavrinOrvex_S& operator=(const CKavrinOrvex_S& other);
};

extern "C" FRONT_EXPORT int nKavrinOrvex_S;
extern "C" FRONT_EXPORT int fnKavrinOrvex_S(void);
