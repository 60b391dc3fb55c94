#include "kavrin_orvex_s.h"

int nKavrinOrvex_S = 0;

int fnKavrinOrvex_S(void) { return 42; }

CKavrinOrvex_S::CKavrinOrvex_S() = default;

CKavrinOrvex_S& CKavrinOrvex_S::operator=(const CKavrinOrvex_S&) = default;
