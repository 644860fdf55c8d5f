#include "ui/win32/dialog_template.h"

#include <cstring>
#include <string_view>

namespace fcp::ui::win32 {
namespace {

// Writes the template as a stream of 16-bit words; item alignment is relative to the start, which
// the final storage aligns to a DWORD.
class WordWriter {
 public:
  void Word(WORD w) { words_.push_back(w); }
  void Dword(DWORD d) {
    Word(LOWORD(d));
    Word(HIWORD(d));
  }
  void Text(std::wstring_view s) {  // zero-terminated UTF-16
    for (wchar_t c : s) Word(static_cast<WORD>(c));
    Word(0);
  }
  void Ordinal(WORD id) {  // a resource or class named by number
    Word(0xFFFF);
    Word(id);
  }
  void AlignDword() {
    if (words_.size() % 2) Word(0);
  }
  const std::vector<WORD>& Words() const { return words_; }

 private:
  std::vector<WORD> words_;
};

const wchar_t* WindowClassOf(ControlKind kind) {
  switch (kind) {
    case ControlKind::kButton: return L"BUTTON";
    case ControlKind::kEdit: return L"EDIT";
    case ControlKind::kStatic:
    case ControlKind::kIcon: break;
  }
  return L"STATIC";
}

}  // namespace

DialogTemplateBuffer::DialogTemplateBuffer(const DialogTemplate& dialog) {
  WordWriter out;
  out.Word(1);       // dlgVer
  out.Word(0xFFFF);  // signature: extended template
  out.Dword(0);      // helpID
  out.Dword(dialog.ex_style);
  out.Dword(dialog.style | DS_SETFONT);
  out.Word(static_cast<WORD>(dialog.controls.size()));
  out.Word(static_cast<WORD>(dialog.x));
  out.Word(static_cast<WORD>(dialog.y));
  out.Word(static_cast<WORD>(dialog.cx));
  out.Word(static_cast<WORD>(dialog.cy));
  out.Word(0);  // no menu
  out.Word(0);  // the predefined dialog class
  out.Text(dialog.caption);
  out.Word(dialog.point_size);
  out.Word(dialog.font_weight);
  out.Word(static_cast<WORD>(dialog.italic | dialog.charset << 8));
  out.Text(dialog.font_face);

  for (const ControlTemplate& control : dialog.controls) {
    out.AlignDword();
    out.Dword(0);  // helpID
    out.Dword(control.ex_style);
    out.Dword(control.style | WS_CHILD | WS_VISIBLE);
    out.Word(static_cast<WORD>(control.x));
    out.Word(static_cast<WORD>(control.y));
    out.Word(static_cast<WORD>(control.cx));
    out.Word(static_cast<WORD>(control.cy));
    out.Dword(static_cast<DWORD>(control.id));
    out.Text(WindowClassOf(control.kind));
    if (control.kind == ControlKind::kIcon) {
      out.Ordinal(static_cast<WORD>(control.icon_resource));  // loaded from the module by the dialog
    } else {
      out.Text(control.text);
    }
    out.Word(0);  // no creation data
  }

  const std::vector<WORD>& words = out.Words();
  storage_.assign((words.size() + 1) / 2, 0);
  std::memcpy(storage_.data(), words.data(), words.size() * sizeof(WORD));
}

}  // namespace fcp::ui::win32
