#include "pin_lock_dlg.h"

#include "engine_resources.h"

#include <kavrin/ui.h>

namespace {

constexpr WCHAR kCaption[] = u"提示";
constexpr WCHAR kText[] = u"文件证书保护箱已经被锁定，请您24小时后再试！";
constexpr WCHAR kOk[] = u"确定";

}  // namespace

int CPINLockDlg::DoModal() {
  const CEngineResources resources;
  return KavrinShowNotice(kCaption, kText, kOk);
}
