// kavrin-demo: shows the operating-system layer at work in the machine root
// named by KAVRIN_ROOT: a registry round trip, a profile-file round trip and a
// PIN dialog. Without KAVRIN_UI the dialog is answered from a script so that
// the demo runs unattended; KAVRIN_UI=pinentry shows a real one.
#include <kavrin/kernel.h>
#include <kavrin/registry.h>
#include <kavrin/ui.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string Narrow(const std::u16string& text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size - 1 : 0, '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), size, nullptr, nullptr);
  return out;
}

bool RegistryRoundTrip() {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Kavrin Demo", 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const std::u16string written = u"Kavrin Orvex v1.0 Dorvel";
  RegSetValueExW(key, u"Provider", 0, REG_SZ, reinterpret_cast<const BYTE*>(written.c_str()),
                 static_cast<DWORD>((written.size() + 1) * sizeof(WCHAR)));
  WCHAR read[64] = {};
  DWORD size = sizeof(read);
  DWORD type = 0;
  // Names compare without regard to case.
  const LONG rc = RegQueryValueExW(key, u"PROVIDER", nullptr, &type, reinterpret_cast<BYTE*>(read), &size);
  RegCloseKey(key);
  std::printf("registry: HKCU\\Software\\Kavrin Demo \"Provider\" = \"%s\"\n", Narrow(read).c_str());
  return rc == ERROR_SUCCESS && type == REG_SZ && written == read;
}

bool ProfileRoundTrip() {
  WCHAR system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  const std::u16string file = std::u16string(system) + u"\\Orvex\\demo.ini";
  SHCreateDirectoryExW(nullptr, (std::u16string(system) + u"\\Orvex").c_str(), nullptr);
  WritePrivateProfileStringW(u"PubKeyToContainerName", u"0123456789abcdef", u"Orvex", file.c_str());
  WCHAR value[64] = {};
  GetPrivateProfileStringW(u"PubKeyToContainerName", u"0123456789ABCDEF", u"", value, 64, file.c_str());
  std::printf("profile:  %s [PubKeyToContainerName] 0123456789abcdef = %s\n", Narrow(file).c_str(),
              Narrow(value).c_str());
  return std::u16string(value) == u"Orvex";
}

bool PinDialog() {
  std::string script;
  if (std::getenv("KAVRIN_UI") == nullptr) {
    WCHAR windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    script = Narrow(windows) + "/demo-answers.txt";
    std::ofstream(script) << "ok 1234\n";
    setenv("KAVRIN_UI", ("script:" + script).c_str(), 1);
  }
  KAVRIN_SECRET_REQUEST request = {};
  request.caption = u"保管箱密码验证";
  request.greeting = u"尊敬的Kavrin银行客户，您好!";
  request.prompt = u"请输入您的文件证书保管箱密码。";
  request.fieldLabel = u"保管箱密码：";
  request.okLabel = u"确定";
  request.cancelLabel = u"取消";
  request.maxChars = 20;
  WCHAR pin[21] = {};
  DWORD length = 0;
  const int result = KavrinAskSecret(&request, pin, 21, &length);
  std::printf("dialog:   %s, %u characters typed\n", result == IDOK ? "OK" : "cancelled",
              static_cast<unsigned>(length));
  if (!script.empty()) {
    std::ifstream log(script + ".log");
    for (std::string line; std::getline(log, line);) std::printf("          logged: %s\n", line.c_str());
  }
  return result == IDOK;
}

}  // namespace

int main() {
  WCHAR windows[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  std::printf("Windows directory: %s\n", Narrow(windows).c_str());
  const bool ok = RegistryRoundTrip() & ProfileRoundTrip() & PinDialog();
  std::printf("%s\n", ok ? "demo finished" : "demo FAILED");
  return ok ? 0 : 1;
}
