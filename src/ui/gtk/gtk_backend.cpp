#include "ui/gtk/gtk_backend.h"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "text/widening.h"
#include "ui/cwnd.h"
#include "ui/dialog_thread.h"
#include "ui/dialog_units.h"
#include "ui/resource_ids.h"

extern const unsigned char kAppIconData[];
extern const std::size_t kAppIconSize;

namespace fcp::ui::gtk {
namespace {

std::string Utf8(const std::wstring& text) { return text::Utf8OfWide(text); }

// "&About..." -> "_About..." ("&&" stays a literal ampersand).
std::string MnemonicLabel(const std::wstring& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'&' && i + 1 < text.size() && text[i + 1] == L'&') {
      out += L'&';
      ++i;
    } else if (text[i] == L'&') {
      out += L'_';
    } else if (text[i] == L'_') {
      out += L"__";
    } else {
      out += text[i];
    }
  }
  return Utf8(out);
}

// A Pango font for a logical font. Negative heights are the em height, positive ones the whole
// character cell; the cell of the fonts here is about 1.2 em.
PangoFontDescription* PangoFontOf(const LOGFONTW& font) {
  PangoFontDescription* description = pango_font_description_new();
  pango_font_description_set_family(description, Utf8(font.lfFaceName).c_str());
  const double em = font.lfHeight < 0 ? -font.lfHeight : std::max(1.0, font.lfHeight / 1.2);
  pango_font_description_set_absolute_size(description, em * PANGO_SCALE);
  pango_font_description_set_weight(description, static_cast<PangoWeight>(font.lfWeight ? font.lfWeight : 400));
  pango_font_description_set_style(description, font.lfItalic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
  return description;
}

// Dialog base units of a font: average width of the Latin letters and the height of a line.
DialogBaseUnits BaseUnitsOf(GtkWidget* widget, const LOGFONTW& font) {
  PangoLayout* layout = gtk_widget_create_pango_layout(widget, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  PangoFontDescription* description = PangoFontOf(font);
  pango_layout_set_font_description(layout, description);
  int width = 0, height = 0;
  pango_layout_get_pixel_size(layout, &width, &height);
  pango_font_description_free(description);
  g_object_unref(layout);
  return {static_cast<int>(std::lround(width / 52.0)), height};
}

// The dialog loop's primitive: the task runs on the thread that iterates the default main context.
// Always queued, never invoked through the context: that could run the task on the caller's thread
// whenever the dialog's thread is between two iterations.
bool PostToMainLoop(DialogThread::Task task) {
  g_idle_add_full(
      G_PRIORITY_DEFAULT,
      +[](gpointer data) -> gboolean {
        (*static_cast<DialogThread::Task*>(data))();
        return G_SOURCE_REMOVE;
      },
      new DialogThread::Task(std::move(task)), +[](gpointer data) { delete static_cast<DialogThread::Task*>(data); });
  return true;
}

struct Control {
  ControlKind kind = ControlKind::kStatic;
  int id = 0;
  DWORD style = 0;
  GtkWidget* widget = nullptr;
  std::wstring text;
  bool enabled = true;
  RECT rect{};
  LOGFONTW font{};
};

class GtkDialogWindow final : public DialogWindow {
 public:
  GtkDialogWindow(const DialogTemplate& dialog, DialogClient& client, GtkDialogWindow* owner, HICON icon,
                  os::DeviceEvents* device_events)
      : template_(dialog),
        client_(client),
        owner_(owner),
        device_events_(device_events),
        dialog_thread_(PostToMainLoop) {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_resizable(GTK_WINDOW(window_), FALSE);
    if (owner_) {
      gtk_window_set_transient_for(GTK_WINDOW(window_), GTK_WINDOW(owner_->window_));
      gtk_window_set_modal(GTK_WINDOW(window_), TRUE);
    }
    gtk_window_set_skip_taskbar_hint(GTK_WINDOW(window_), (dialog.ex_style & WS_EX_APPWINDOW) == 0 && owner_);
    if (icon) gtk_window_set_icon(GTK_WINDOW(window_), reinterpret_cast<GdkPixbuf*>(icon));

    // The window manager's title bar, until the system menu needs a header bar of the window's own.
    gtk_window_set_title(GTK_WINDOW(window_), Utf8(std::wstring(dialog.caption)).c_str());

    fixed_ = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(window_), fixed_);

    dialog_font_ = FontOf(dialog);
    const DialogBaseUnits units = BaseUnitsOf(window_, dialog_font_);
    client_rect_ = DialogUnitsToPixels(units, 0, 0, dialog.cx, dialog.cy);
    gtk_widget_set_size_request(fixed_, client_rect_.right, client_rect_.bottom);

    int static_count = 0;
    for (const ControlTemplate& c : dialog.controls) {
      auto control = std::make_unique<Control>();
      control->kind = c.kind;
      control->id = c.id == IDC_STATIC ? -1000 - static_count++ : c.id;
      control->style = c.style;
      control->text = std::wstring(c.text);
      control->rect = DialogUnitsToPixels(units, c.x, c.y, c.cx, c.cy);
      control->font = dialog_font_;
      CreateWidget(*control, c, icon);
      controls_[control->id] = std::move(control);
    }

    g_signal_connect(window_, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer self) -> gboolean {
                       static_cast<GtkDialogWindow*>(self)->Deliver(WM_CLOSE, 0, 0);
                       return TRUE;  // the dialog decides whether it ends
                     }),
                     this);
    g_signal_connect(window_, "key-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventKey* key, gpointer self) -> gboolean {
                       if (key->keyval != GDK_KEY_Escape) return FALSE;
                       static_cast<GtkDialogWindow*>(self)->Deliver(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
                       return TRUE;
                     }),
                     this);
  }

  ~GtkDialogWindow() override { Destroy(); }

  // Runs the dialog to its end. The widgets go with it; the object stays (the backend keeps it), so
  // that a thread still holding it finds its calls doing nothing rather than freed memory.
  INT_PTR Run() {
    client_.AttachWindow(this);
    Deliver(WM_INITDIALOG, 0, 0);
    if (!ended_) {
      if (!moved_) gtk_window_set_position(GTK_WINDOW(window_), GTK_WIN_POS_CENTER);
      gtk_widget_show_all(window_);
      if (owner_ && owner_->window_) gtk_widget_set_sensitive(owner_->window_, FALSE);
      while (!ended_) g_main_context_iteration(nullptr, TRUE);
      if (owner_ && owner_->window_) gtk_widget_set_sensitive(owner_->window_, TRUE);
    }
    client_.AttachWindow(nullptr);
    Destroy();
    return result_;
  }

  // DialogWindow. Once the window is destroyed, control calls are dropped by the dialog thread and
  // the window's own calls find no widget: each does nothing and returns an empty result.
  HWND GetHwnd() const override { return reinterpret_cast<HWND>(window_); }

  bool HasItem(int id) override { return !destroyed_ && (id == 0 || controls_.count(id) != 0); }
  void SetItemText(int id, const std::wstring& text) override {
    OnDialogThread([&] {
      if (id == 0) {
        gtk_window_set_title(GTK_WINDOW(window_), Utf8(text).c_str());
        if (header_) gtk_header_bar_set_title(GTK_HEADER_BAR(header_), Utf8(text).c_str());
        return;
      }
      Control* control = Find(id);
      if (!control) return;
      control->text = text;
      if (control->kind == ControlKind::kButton) {
        gtk_button_set_label(GTK_BUTTON(control->widget), MnemonicLabel(text).c_str());
      } else if (control->kind == ControlKind::kEdit) {
        gtk_entry_set_text(GTK_ENTRY(control->widget), Utf8(text).c_str());
      } else {
        gtk_widget_queue_draw(control->widget);
      }
    });
  }
  std::wstring GetItemText(int id) override {
    std::wstring text;
    OnDialogThread([&] {
      if (Control* control = Find(id)) text = control->text;
    });
    return text;
  }
  void EnableItem(int id, bool enable) override {
    OnDialogThread([&] {
      if (Control* control = Find(id)) {
        control->enabled = enable;
        gtk_widget_set_sensitive(control->widget, enable);
      }
    });
  }
  bool IsItemEnabled(int id) override {
    bool enabled = false;
    OnDialogThread([&] {
      Control* control = Find(id);
      enabled = control ? control->enabled : id == 0;
    });
    return enabled;
  }
  RECT GetItemClientRect(int id) override {
    RECT rect{};
    OnDialogThread([&] {
      if (id == 0) {
        rect = client_rect_;
      } else if (Control* control = Find(id)) {
        rect = {0, 0, control->rect.right - control->rect.left, control->rect.bottom - control->rect.top};
      }
    });
    return rect;
  }
  LOGFONTW GetItemFont(int id) override {
    LOGFONTW font = dialog_font_;
    OnDialogThread([&] {
      if (Control* control = Find(id)) font = control->font;
    });
    return font;
  }
  void SetItemFont(int id, const LOGFONTW& font, bool) override {
    OnDialogThread([&] {
      Control* control = Find(id);
      if (!control) return;
      control->font = font;
      ApplyFont(*control);
      gtk_widget_queue_draw(control->widget);
    });
  }

  void SetIcon(HICON icon, bool big) override {
    if (window_ && icon && big) gtk_window_set_icon(GTK_WINDOW(window_), reinterpret_cast<GdkPixbuf*>(icon));
  }
  bool HasSystemMenu() override { return window_ && (template_.style & WS_SYSMENU) != 0; }
  bool AppendSystemMenu(UINT flags, UINT_PTR command_id, const std::wstring& text) override {
    if (!window_) return false;
    if (!menu_) {
      // The system menu lives in a header bar: the title, the menu button, the close button.
      header_ = gtk_header_bar_new();
      gtk_header_bar_set_title(GTK_HEADER_BAR(header_), gtk_window_get_title(GTK_WINDOW(window_)));
      gtk_header_bar_set_show_close_button(GTK_HEADER_BAR(header_), TRUE);
      gtk_window_set_titlebar(GTK_WINDOW(window_), header_);
      menu_ = gtk_menu_new();
      menu_button_ = gtk_menu_button_new();
      gtk_button_set_image(GTK_BUTTON(menu_button_), gtk_image_new_from_icon_name("open-menu-symbolic", GTK_ICON_SIZE_MENU));
      gtk_menu_button_set_popup(GTK_MENU_BUTTON(menu_button_), menu_);
      gtk_header_bar_pack_end(GTK_HEADER_BAR(header_), menu_button_);
    }
    GtkWidget* item;
    if (flags & MF_SEPARATOR) {
      // A separator first in the menu separates nothing here: the window manager's entries are not in it.
      if (system_menu_items_ == 0) return true;
      item = gtk_separator_menu_item_new();
    } else {
      item = gtk_menu_item_new_with_mnemonic(MnemonicLabel(text).c_str());
      g_object_set_data(G_OBJECT(item), "fcp-command", reinterpret_cast<gpointer>(command_id));
      g_signal_connect(item, "activate", G_CALLBACK(+[](GtkMenuItem* menuItem, gpointer self) {
                         const auto command = reinterpret_cast<UINT_PTR>(g_object_get_data(G_OBJECT(menuItem), "fcp-command"));
                         auto* window = static_cast<GtkDialogWindow*>(self);
                         // After the menu has closed, as a posted message.
                         window->PostMessage(WM_SYSCOMMAND, command, 0);
                       }),
                       this);
      ++system_menu_items_;
    }
    gtk_menu_shell_append(GTK_MENU_SHELL(menu_), item);
    gtk_widget_show(item);
    return true;
  }
  bool MoveWindow(int x, int y, int width, int height, bool) override {
    if (!window_) return false;
    moved_ = true;
    gtk_window_move(GTK_WINDOW(window_), x, y);
    gtk_window_resize(GTK_WINDOW(window_), std::max(1, width), std::max(1, height));
    return true;
  }
  bool IsIconic() override {
    GdkWindow* gdk_window = window_ ? gtk_widget_get_window(window_) : nullptr;
    return gdk_window && (gdk_window_get_state(gdk_window) & GDK_WINDOW_STATE_ICONIFIED);
  }
  int GetSystemMetrics(int index) override { return index == SM_CXICON || index == SM_CYICON ? 32 : 0; }
  std::unique_ptr<CDC> BeginPaint() override { return std::make_unique<CDC>(); }

  UINT_PTR SetTimer(UINT_PTR id, UINT elapse_ms) override {
    if (!window_) return 0;
    KillTimer(id);
    auto* tick = new TimerTick{this, id};
    const guint source = g_timeout_add_full(
        G_PRIORITY_DEFAULT, elapse_ms,
        +[](gpointer data) -> gboolean {
          auto* t = static_cast<TimerTick*>(data);
          t->window->Deliver(WM_TIMER, t->id, 0);
          return G_SOURCE_CONTINUE;
        },
        tick, +[](gpointer data) { delete static_cast<TimerTick*>(data); });
    timers_[id] = source;
    return id ? id : 1;
  }
  bool KillTimer(UINT_PTR id) override {
    auto it = timers_.find(id);
    if (it == timers_.end()) return false;
    g_source_remove(it->second);
    timers_.erase(it);
    return true;
  }
  bool PostMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
    return dialog_thread_.Post([this, message, wParam, lParam] { Deliver(message, wParam, lParam); });
  }
  int MessageBox(const std::wstring& text, const std::wstring& caption, UINT) override {
    if (!window_) return 0;
    GtkWidget* box = gtk_message_dialog_new(GTK_WINDOW(window_), GTK_DIALOG_MODAL, GTK_MESSAGE_OTHER,
                                            GTK_BUTTONS_OK, "%s", Utf8(text).c_str());
    gtk_window_set_title(GTK_WINDOW(box), Utf8(caption).c_str());
    gtk_dialog_run(GTK_DIALOG(box));
    gtk_widget_destroy(box);
    return IDOK;
  }
  HDEVNOTIFY RegisterDeviceNotification(const DeviceInterfaceFilter& filter, DWORD flags) override {
    if (!window_) return nullptr;
    if (filter.device_type != DBT_DEVTYP_DEVICEINTERFACE || flags != DEVICE_NOTIFY_WINDOW_HANDLE) return nullptr;
    if (monitor_) return nullptr;  // one registration per window
    if (device_events_) monitor_ = device_events_->Open();
    if (!monitor_) return nullptr;
    device_watch_ = g_unix_fd_add(monitor_->Fd(), G_IO_IN, +[](gint, GIOCondition, gpointer self) -> gboolean {
      auto* window = static_cast<GtkDialogWindow*>(self);
      if (const WPARAM event = DeviceChangeOf(window->monitor_->ReadEvent())) window->Deliver(WM_DEVICECHANGE, event, 0);
      return G_SOURCE_CONTINUE;
    }, this);
    return reinterpret_cast<HDEVNOTIFY>(monitor_.get());
  }
  bool UnregisterDeviceNotification(HDEVNOTIFY handle) override {
    if (!monitor_ || handle != reinterpret_cast<HDEVNOTIFY>(monitor_.get())) return false;
    g_source_remove(device_watch_);
    device_watch_ = 0;
    monitor_.reset();
    return true;
  }

  LRESULT DefWindowProc(UINT, WPARAM, LPARAM) override { return 0; }
  HBRUSH DefCtlColor(CDC&, int, UINT) override { return nullptr; }

  void EndDialog(INT_PTR result) override {
    if (ended_) return;
    ended_ = true;
    result_ = result;
    g_main_context_wakeup(nullptr);
  }
  void WaitWithMessages(const std::function<bool()>& done) override {
    // A short tick keeps the loop waking up to look at done() even when nothing else happens.
    const guint tick = g_timeout_add(10, +[](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    while (!done()) g_main_context_iteration(nullptr, TRUE);
    g_source_remove(tick);
  }

 private:
  struct TimerTick {
    GtkDialogWindow* window;
    UINT_PTR id;
  };

  // The window's end: nothing queued for it runs any more, callers waiting on it are let go, its
  // timers and device watch stop and its widgets go. Once only; the object itself stays.
  void Destroy() {
    if (!window_) return;
    destroyed_ = true;
    dialog_thread_.Close();
    for (auto& [id, source] : timers_) g_source_remove(source);
    timers_.clear();
    if (device_watch_) g_source_remove(device_watch_);
    device_watch_ = 0;
    monitor_.reset();
    gtk_widget_destroy(window_);
    window_ = header_ = fixed_ = menu_ = menu_button_ = nullptr;
    for (auto& [id, control] : controls_) control->widget = nullptr;
  }

  Control* Find(int id) {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second.get();
  }

  void Deliver(UINT message, WPARAM wParam, LPARAM lParam) { client_.WindowProc(message, wParam, lParam); }

  // Runs `call` on the dialog's thread and waits for it there (SendMessage); dropped once the
  // window is gone.
  void OnDialogThread(const std::function<void()>& call) { dialog_thread_.Send(call); }

  void ApplyFont(Control& control) {
    if (control.kind == ControlKind::kStatic) return;  // drawn with control.font
    PangoFontDescription* description = PangoFontOf(control.font);
    GtkCssProvider* css = gtk_css_provider_new();
    const std::string rule = std::string("* { font: ") + std::to_string(std::lround(pango_font_description_get_size(description) / double(PANGO_SCALE))) +
                             "px \"" + Utf8(control.font.lfFaceName) + "\"; }";
    gtk_css_provider_load_from_data(css, rule.c_str(), -1, nullptr);
    GtkWidget* target = control.widget;
    gtk_style_context_add_provider(gtk_widget_get_style_context(target), GTK_STYLE_PROVIDER(css),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    if (GTK_IS_BIN(target) && gtk_bin_get_child(GTK_BIN(target)))
      gtk_style_context_add_provider(gtk_widget_get_style_context(gtk_bin_get_child(GTK_BIN(target))),
                                     GTK_STYLE_PROVIDER(css), GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);
    pango_font_description_free(description);
  }

  void CreateWidget(Control& control, const ControlTemplate& c, HICON icon) {
    const int width = control.rect.right - control.rect.left;
    const int height = control.rect.bottom - control.rect.top;
    switch (control.kind) {
      case ControlKind::kButton:
        control.widget = gtk_button_new_with_mnemonic(MnemonicLabel(control.text).c_str());
        g_object_set_data(G_OBJECT(control.widget), "fcp-id", GINT_TO_POINTER(control.id));
        g_signal_connect(control.widget, "clicked", G_CALLBACK(+[](GtkButton* button, gpointer self) {
                           const int id = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(button), "fcp-id"));
                           static_cast<GtkDialogWindow*>(self)->Deliver(WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED), 0);
                         }),
                         this);
        if (c.style & BS_DEFPUSHBUTTON) {
          gtk_widget_set_can_default(control.widget, TRUE);
          gtk_window_set_default(GTK_WINDOW(window_), control.widget);
        }
        break;
      case ControlKind::kEdit:
        control.widget = gtk_entry_new();
        gtk_editable_set_editable(GTK_EDITABLE(control.widget), (c.style & ES_READONLY) == 0);
        gtk_entry_set_has_frame(GTK_ENTRY(control.widget), (c.style & WS_BORDER) != 0);
        gtk_entry_set_width_chars(GTK_ENTRY(control.widget), 1);
        gtk_entry_set_text(GTK_ENTRY(control.widget), Utf8(control.text).c_str());
        break;
      case ControlKind::kIcon: {
        GdkPixbuf* pixbuf = reinterpret_cast<GdkPixbuf*>(icon);
        GdkPixbuf* scaled = pixbuf ? gdk_pixbuf_scale_simple(pixbuf, 32, 32, GDK_INTERP_BILINEAR) : nullptr;
        control.widget = scaled ? gtk_image_new_from_pixbuf(scaled) : gtk_image_new();
        if (scaled) g_object_unref(scaled);
        gtk_widget_set_halign(control.widget, GTK_ALIGN_START);
        gtk_widget_set_valign(control.widget, GTK_ALIGN_START);
        break;
      }
      case ControlKind::kStatic:
        control.widget = gtk_drawing_area_new();
        g_object_set_data(G_OBJECT(control.widget), "fcp-control", &control);
        g_signal_connect(control.widget, "draw", G_CALLBACK(+[](GtkWidget* widget, cairo_t* cr, gpointer self) -> gboolean {
                           auto* c = static_cast<Control*>(g_object_get_data(G_OBJECT(widget), "fcp-control"));
                           static_cast<GtkDialogWindow*>(self)->DrawStatic(*c, widget, cr);
                           return TRUE;
                         }),
                         this);
        break;
    }
    int request_width = width;
    if (control.kind == ControlKind::kStatic && (control.style & 0x3) == SS_LEFT) {
      // The substitute font may be wider than the one the layout was made for: a left-aligned label
      // may grow to the right rather than lose its end.
      PangoLayout* layout = gtk_widget_create_pango_layout(window_, Utf8(control.text).c_str());
      PangoFontDescription* description = PangoFontOf(control.font);
      pango_layout_set_font_description(layout, description);
      int text_width = 0, text_height = 0;
      pango_layout_get_pixel_size(layout, &text_width, &text_height);
      request_width = std::max(width, text_width);
      pango_font_description_free(description);
      g_object_unref(layout);
    } else if (control.kind != ControlKind::kIcon) {
      ApplyFont(control);
    }
    gtk_widget_set_size_request(control.widget, request_width, height);
    gtk_fixed_put(GTK_FIXED(fixed_), control.widget, control.rect.left, control.rect.top);
  }

  // A static control as the platform draws one: its text at the top, aligned as its style says, on
  // the background colour WM_CTLCOLOR gave (behind the text only), in the text colour it gave.
  void DrawStatic(Control& control, GtkWidget* widget, cairo_t* cr) {
    CDC dc;
    client_.CtlColor(dc, control.id < 0 ? IDC_STATIC : control.id, CTLCOLOR_STATIC);

    PangoLayout* layout = gtk_widget_create_pango_layout(widget, Utf8(control.text).c_str());
    PangoFontDescription* description = PangoFontOf(control.font);
    pango_layout_set_font_description(layout, description);
    int text_width = 0, text_height = 0;
    pango_layout_get_pixel_size(layout, &text_width, &text_height);
    const int width = gtk_widget_get_allocated_width(widget);
    int x = 0;
    if ((control.style & 0x3) == SS_CENTER) x = (width - text_width) / 2;
    if (dc.bk_color && !control.text.empty()) {
      const COLORREF bk = *dc.bk_color;
      cairo_set_source_rgb(cr, GetRValue(bk) / 255.0, GetGValue(bk) / 255.0, GetBValue(bk) / 255.0);
      const int cell_height = std::max(text_height, control.font.lfHeight > 0 ? int(control.font.lfHeight) : 0);
      cairo_rectangle(cr, x, 0, text_width, cell_height);
      cairo_fill(cr);
    }
    GdkRGBA foreground;
    gtk_style_context_get_color(gtk_widget_get_style_context(widget), gtk_widget_get_state_flags(widget), &foreground);
    if (dc.text_color) {
      const COLORREF fg = *dc.text_color;
      foreground = {GetRValue(fg) / 255.0, GetGValue(fg) / 255.0, GetBValue(fg) / 255.0, 1.0};
    }
    gdk_cairo_set_source_rgba(cr, &foreground);
    const int top = control.font.lfHeight > 0 ? std::max(0, (int(control.font.lfHeight) - text_height) / 2) : 0;
    cairo_move_to(cr, x, top);
    pango_cairo_show_layout(cr, layout);
    pango_font_description_free(description);
    g_object_unref(layout);
  }

  const DialogTemplate& template_;
  DialogClient& client_;
  GtkDialogWindow* owner_;
  os::DeviceEvents* device_events_;
  DialogThread dialog_thread_;
  GtkWidget* window_ = nullptr;
  GtkWidget* header_ = nullptr;
  GtkWidget* fixed_ = nullptr;
  GtkWidget* menu_ = nullptr;
  GtkWidget* menu_button_ = nullptr;
  int system_menu_items_ = 0;
  LOGFONTW dialog_font_{};
  RECT client_rect_{};
  std::map<int, std::unique_ptr<Control>> controls_;
  std::map<UINT_PTR, guint> timers_;
  std::unique_ptr<os::DeviceEventSource> monitor_;
  guint device_watch_ = 0;
  bool moved_ = false;
  bool ended_ = false;
  std::atomic<bool> destroyed_{false};  // read by HasItem, which any thread may call
  INT_PTR result_ = 0;
};

class GtkBackend final : public Backend {
 public:
  explicit GtkBackend(os::DeviceEvents* device_events) : device_events_(device_events) {}
  ~GtkBackend() override {
    if (icon_) g_object_unref(icon_);
  }
  const char* Name() const override { return "gtk"; }
  bool HasDisplay() const override { return true; }

  HICON LoadIcon(int resource_id) override {
    if (resource_id != IDR_MAINFRAME) return nullptr;
    if (!icon_) {
      GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
      if (gdk_pixbuf_loader_write(loader, kAppIconData, kAppIconSize, nullptr) &&
          gdk_pixbuf_loader_close(loader, nullptr)) {
        if (GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader)) icon_ = GDK_PIXBUF(g_object_ref(pixbuf));
      } else {
        gdk_pixbuf_loader_close(loader, nullptr);
      }
      g_object_unref(loader);
    }
    return reinterpret_cast<HICON>(icon_);
  }

  INT_PTR DoModal(const DialogTemplate& dialog, DialogClient& client, DialogWindow* owner) override {
    windows_.push_back(std::make_unique<GtkDialogWindow>(dialog, client, static_cast<GtkDialogWindow*>(owner),
                                                         LoadIcon(IDR_MAINFRAME), device_events_));
    GtkDialogWindow* window = windows_.back().get();  // the vector grows while a nested dialog runs
    return window->Run();
  }

 private:
  os::DeviceEvents* device_events_;
  // Every window made, ended or not: a window's object lasts as long as the backend (see Run).
  std::vector<std::unique_ptr<GtkDialogWindow>> windows_;
  GdkPixbuf* icon_ = nullptr;
};

}  // namespace

std::unique_ptr<Backend> CreateBackend(os::DeviceEvents* device_events) {
  if (!gtk_init_check(nullptr, nullptr)) return nullptr;
  return std::make_unique<GtkBackend>(device_events);
}

}  // namespace fcp::ui::gtk
