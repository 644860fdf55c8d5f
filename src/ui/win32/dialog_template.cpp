#include "ui/win32/dialog_template.h"

#include <cstring>
#include <string_view>

namespace fcp::ui::win32 {
namespace {

// Writes the template as a stream of 16-bit words; item alignment is relative to the start, which
// the final storage aligns to a DWORD.
class WordWriter {
 public:
  void word(WORD w) { words_.push_back(w); }
  void dword(DWORD d) {
    word(LOWORD(d));
    word(HIWORD(d));
  }
  void text(std::wstring_view s) {  // zero-terminated UTF-16
    for (wchar_t c : s) word(static_cast<WORD>(c));
    word(0);
  }
  void ordinal(WORD id) {  // a resource or class named by number
    word(0xFFFF);
    word(id);
  }
  void alignDword() {
    if (words_.size() % 2) word(0);
  }
  const std::vector<WORD>& words() const { return words_; }

 private:
  std::vector<WORD> words_;
};

const wchar_t* WindowClassOf(ControlKind kind) {
  switch (kind) {
    case ControlKind::Button: return L"BUTTON";
    case ControlKind::Edit: return L"EDIT";
    case ControlKind::Static:
    case ControlKind::Icon: break;
  }
  return L"STATIC";
}

}  // namespace

DialogTemplateBuffer::DialogTemplateBuffer(const DialogTemplate& dialog) {
  WordWriter out;
  out.word(1);       // dlgVer
  out.word(0xFFFF);  // signature: extended template
  out.dword(0);      // helpID
  out.dword(dialog.exStyle);
  out.dword(dialog.style | DS_SETFONT);
  out.word(static_cast<WORD>(dialog.controls.size()));
  out.word(static_cast<WORD>(dialog.x));
  out.word(static_cast<WORD>(dialog.y));
  out.word(static_cast<WORD>(dialog.cx));
  out.word(static_cast<WORD>(dialog.cy));
  out.word(0);  // no menu
  out.word(0);  // the predefined dialog class
  out.text(dialog.caption);
  out.word(dialog.pointSize);
  out.word(dialog.fontWeight);
  out.word(static_cast<WORD>(dialog.italic | dialog.charset << 8));
  out.text(dialog.fontFace);

  for (const ControlTemplate& control : dialog.controls) {
    out.alignDword();
    out.dword(0);  // helpID
    out.dword(control.exStyle);
    out.dword(control.style | WS_CHILD | WS_VISIBLE);
    out.word(static_cast<WORD>(control.x));
    out.word(static_cast<WORD>(control.y));
    out.word(static_cast<WORD>(control.cx));
    out.word(static_cast<WORD>(control.cy));
    out.dword(static_cast<DWORD>(control.id));
    out.text(WindowClassOf(control.kind));
    if (control.kind == ControlKind::Icon) {
      out.ordinal(static_cast<WORD>(control.iconResource));  // loaded from the module by the dialog
    } else {
      out.text(control.text);
    }
    out.word(0);  // no creation data
  }

  const std::vector<WORD>& words = out.words();
  storage_.assign((words.size() + 1) / 2, 0);
  std::memcpy(storage_.data(), words.data(), words.size() * sizeof(WORD));
}

}  // namespace fcp::ui::win32
