// dialog_texts <window title>: prints one line per child control of the top-level window with that
// title, "<control id> <text>", and exits 0; exits 1 when no such window exists. The texts come by
// WM_GETTEXT, which reaches controls of another process.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

BOOL CALLBACK PrintControl(HWND control, LPARAM) {
  wchar_t text[512] = {};
  DWORD_PTR length = 0;
  if (SendMessageTimeoutW(control, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                          2000, &length) == 0) {
    length = 0;
  }
  std::string utf8(static_cast<size_t>(length) * 3 + 1, '\0');
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8.data(),
                                        static_cast<int>(utf8.size()), nullptr, nullptr);
  utf8.resize(bytes > 0 ? static_cast<size_t>(bytes) : 0);
  std::printf("%d %s\n", GetDlgCtrlID(control), utf8.c_str());
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: dialog_texts <window title>\n");
    return 2;
  }
  const HWND dialog = FindWindowW(nullptr, argv[1]);
  if (dialog == nullptr) return 1;
  EnumChildWindows(dialog, PrintControl, 0);
  return 0;
}
