// The lock notice: tells the user that the key is locked for 24 hours.
#pragma once

class CPINLockDlg {
 public:
  // IDOK, or IDCANCEL when it was dismissed otherwise; callers ignore it.
  int DoModal();
};
