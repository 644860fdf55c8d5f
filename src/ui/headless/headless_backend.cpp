#include "ui/headless/headless_backend.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "text/widening.h"
#include "ui/cwnd.h"
#include "ui/dialog_units.h"

namespace fcp::ui::headless {
namespace {

using Clock = std::chrono::steady_clock;

// Dialog base units of a font without a font to measure: the character cell height at 96 dots per
// inch and an average width typical of the sans-serif dialog fonts.
DialogBaseUnits BaseUnitsOf(const DialogTemplate& dialog) {
  const double cell = std::round(dialog.point_size * 96.0 / 72.0 * 1.2);
  return {static_cast<int>(std::lround(cell * 0.46)), static_cast<int>(cell)};
}

}  // namespace

class HeadlessWindow final : public DialogWindow {
 public:
  HeadlessWindow(HeadlessBackend& backend, const DialogTemplate& dialog, DialogClient& client)
      : backend_(backend),
        template_(dialog),
        client_(client),
        dialog_thread_([&backend, this](DialogThread::Task task) { return backend.PostTask(this, std::move(task)); }) {
    const DialogBaseUnits units = BaseUnitsOf(dialog);
    const LOGFONTW font = FontOf(dialog);
    ControlState self;
    self.text = std::wstring(dialog.caption);
    self.rect = DialogUnitsToPixels(units, 0, 0, dialog.cx, dialog.cy);
    self.font = font;
    controls_[0] = self;
    for (const ControlTemplate& c : dialog.controls) {
      if (c.id == IDC_STATIC) continue;
      ControlState state;
      state.kind = c.kind;
      state.text = std::wstring(c.text);
      state.rect = DialogUnitsToPixels(units, c.x, c.y, c.cx, c.cy);
      state.font = font;
      controls_[c.id] = state;
    }
    has_system_menu_ = (dialog.style & WS_SYSMENU) != 0;
  }

  int TemplateId() const { return template_.id; }
  DialogClient& Client() { return client_; }

  // DialogWindow.
  HWND GetHwnd() const override { return reinterpret_cast<HWND>(const_cast<HeadlessWindow*>(this)); }

  bool HasItem(int id) override {
    std::lock_guard lock(backend_.mutex_);
    return controls_.count(id) != 0;
  }
  void SetItemText(int id, const std::wstring& text) override {
    Change([this, id, text] {
      if (auto it = controls_.find(id); it != controls_.end()) it->second.text = text;
    });
  }
  std::wstring GetItemText(int id) override {
    std::lock_guard lock(backend_.mutex_);
    auto it = controls_.find(id);
    return it == controls_.end() ? std::wstring() : it->second.text;
  }
  void EnableItem(int id, bool enable) override {
    Change([this, id, enable] {
      if (auto it = controls_.find(id); it != controls_.end()) it->second.enabled = enable;
    });
  }
  bool IsItemEnabled(int id) override {
    std::lock_guard lock(backend_.mutex_);
    auto it = controls_.find(id);
    return it != controls_.end() && it->second.enabled;
  }
  RECT GetItemClientRect(int id) override {
    std::lock_guard lock(backend_.mutex_);
    auto it = controls_.find(id);
    if (it == controls_.end()) return {};
    const RECT& r = it->second.rect;
    return {0, 0, r.right - r.left, r.bottom - r.top};
  }
  LOGFONTW GetItemFont(int id) override {
    std::lock_guard lock(backend_.mutex_);
    auto it = controls_.find(id);
    return it == controls_.end() ? LOGFONTW{} : it->second.font;
  }
  void SetItemFont(int id, const LOGFONTW& font, bool) override {
    Change([this, id, font] {
      if (auto it = controls_.find(id); it != controls_.end()) it->second.font = font;
    });
  }

  void SetIcon(HICON icon, bool big) override {
    std::lock_guard lock(backend_.mutex_);
    (big ? big_icon_ : small_icon_) = icon;
  }
  bool HasSystemMenu() override { return has_system_menu_; }
  bool AppendSystemMenu(UINT flags, UINT_PTR command_id, const std::wstring&) override {
    std::lock_guard lock(backend_.mutex_);
    system_menu_.push_back(flags & MF_SEPARATOR ? 0 : command_id);
    return true;
  }
  bool MoveWindow(int x, int y, int width, int height, bool) override {
    std::lock_guard lock(backend_.mutex_);
    window_rect_ = RECT{x, y, x + width, y + height};
    backend_.Changed();
    return true;
  }
  bool IsIconic() override { return false; }
  int GetSystemMetrics(int index) override { return index == SM_CXICON || index == SM_CYICON ? 32 : 0; }
  std::unique_ptr<CDC> BeginPaint() override { return std::make_unique<CDC>(); }

  UINT_PTR SetTimer(UINT_PTR id, UINT elapse_ms) override {
    std::lock_guard lock(backend_.mutex_);
    timers_[id] = {elapse_ms, Clock::now() + std::chrono::milliseconds(elapse_ms)};
    backend_.Changed();
    return id ? id : 1;
  }
  bool KillTimer(UINT_PTR id) override {
    std::lock_guard lock(backend_.mutex_);
    const bool had = timers_.erase(id) != 0;
    // A WM_TIMER already queued for it is dropped too, as the platform does.
    std::erase_if(backend_.queue_, [&](const HeadlessBackend::QueueItem& item) {
      return item.window == this && item.message == WM_TIMER && item.wParam == id && !item.call;
    });
    backend_.Changed();
    return had;
  }
  bool PostMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
    std::lock_guard lock(backend_.mutex_);
    if (destroyed_) return false;
    backend_.PostLocked(this, message, wParam, lParam);
    return true;
  }
  int MessageBox(const std::wstring& text, const std::wstring& caption, UINT type) override {
    std::lock_guard lock(backend_.mutex_);
    backend_.message_boxes_.push_back({template_.id, text, caption, type});
    if (backend_.options_.echo_message_boxes) std::fprintf(stderr, "%s\n", fcp::text::PrintableAscii(text).c_str());
    backend_.Changed();
    return IDOK;  // no operator: the only button is taken
  }
  HDEVNOTIFY RegisterDeviceNotification(const DeviceInterfaceFilter& filter, DWORD flags) override {
    decltype(Options::watch_devices) watch_devices;
    {
      std::lock_guard lock(backend_.mutex_);
      if (backend_.options_.fail_device_registration) return nullptr;
      if (filter.device_type != DBT_DEVTYP_DEVICEINTERFACE || flags != DEVICE_NOTIFY_WINDOW_HANDLE) return nullptr;
      watch_devices = backend_.options_.watch_devices;
    }
    // Started outside the lock: its first event may come at once.
    std::shared_ptr<void> watch;
    if (watch_devices) {
      watch = watch_devices([this](os::DeviceEvent event) {
        if (const WPARAM change = DeviceChangeOf(event)) PostMessage(WM_DEVICECHANGE, change, 0);
      });
      if (!watch) return nullptr;
    }
    std::lock_guard lock(backend_.mutex_);
    const auto handle = reinterpret_cast<HDEVNOTIFY>(next_registration_++);
    registrations_.insert(handle);
    if (watch) watches_[handle] = std::move(watch);
    return handle;
  }
  bool UnregisterDeviceNotification(HDEVNOTIFY handle) override {
    std::shared_ptr<void> watch;  // ended outside the lock: its thread may be posting right now
    std::lock_guard lock(backend_.mutex_);
    if (auto it = watches_.find(handle); it != watches_.end()) {
      watch = std::move(it->second);
      watches_.erase(it);
    }
    return registrations_.erase(handle) != 0;
  }

  LRESULT DefWindowProc(UINT, WPARAM, LPARAM) override { return 0; }
  HBRUSH DefCtlColor(CDC&, int, UINT) override { return nullptr; }

  void EndDialog(INT_PTR result) override {
    std::lock_guard lock(backend_.mutex_);
    if (!ended_) {
      ended_ = true;
      result_ = result;
    }
    backend_.Changed();
  }
  void WaitWithMessages(const std::function<bool()>& done) override {
    while (!done()) backend_.ProcessOne(std::chrono::milliseconds(10));
  }

 private:
  friend class HeadlessBackend;

  // A change of control state: on the dialog's thread it happens at once; from another thread it is
  // carried out there and waited for, like SendMessage.
  void Change(std::function<void()> change) {
    dialog_thread_.Send([this, change = std::move(change)] {
      std::lock_guard lock(backend_.mutex_);
      change();
      backend_.Changed();
    });
  }

  HeadlessBackend& backend_;
  const DialogTemplate& template_;
  DialogClient& client_;
  DialogThread dialog_thread_;
  // Guarded by backend_.mutex_.
  std::map<int, ControlState> controls_;
  struct Timer {
    UINT elapse_ms = 0;
    Clock::time_point due;
  };
  std::map<UINT_PTR, Timer> timers_;
  std::set<HDEVNOTIFY> registrations_;
  std::map<HDEVNOTIFY, std::shared_ptr<void>> watches_;
  uintptr_t next_registration_ = 1;
  std::vector<UINT_PTR> system_menu_;
  bool has_system_menu_ = false;
  HICON big_icon_ = nullptr;
  HICON small_icon_ = nullptr;
  std::optional<RECT> window_rect_;
  bool ended_ = false;
  bool destroyed_ = false;
  INT_PTR result_ = 0;
};

HeadlessBackend::HeadlessBackend(Options options) : options_(options) {}
HeadlessBackend::~HeadlessBackend() = default;

HICON HeadlessBackend::LoadIcon(int resource_id) {
  // Icons are only passed around here: the resource id stands for the icon.
  return resource_id > 0 ? reinterpret_cast<HICON>(static_cast<uintptr_t>(resource_id)) : nullptr;
}

INT_PTR HeadlessBackend::DoModal(const DialogTemplate& dialog, DialogClient& client, DialogWindow*) {
  auto window = std::make_unique<HeadlessWindow>(*this, dialog, client);
  {
    std::lock_guard lock(mutex_);
    windows_.push_back(window.get());
    Changed();
  }
  client.AttachWindow(window.get());
  client.WindowProc(WM_INITDIALOG, 0, 0);
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (window->ended_) break;
    }
    ProcessOne(std::chrono::milliseconds(50));
  }
  {
    std::lock_guard lock(mutex_);
    window->destroyed_ = true;
    std::erase(windows_, window.get());
    // Messages still queued for the window are dropped.
    std::erase_if(queue_, [&](const QueueItem& item) { return item.window == window.get(); });
    Changed();
  }
  window->dialog_thread_.Close();  // callers waiting on a dropped call are let go
  // Watches the dialog did not end itself end with the window (outside the lock, as above).
  std::map<HDEVNOTIFY, std::shared_ptr<void>> watches;
  {
    std::lock_guard lock(mutex_);
    watches.swap(window->watches_);
  }
  watches.clear();
  client.AttachWindow(nullptr);
  const INT_PTR result = window->result_;
  // The object stays: a thread that still holds it finds it destroyed instead of freed.
  std::lock_guard lock(mutex_);
  closed_windows_.push_back(std::move(window));
  return result;
}

HeadlessWindow* HeadlessBackend::FindLocked(int template_id) const {
  for (auto it = windows_.rbegin(); it != windows_.rend(); ++it)
    if ((*it)->TemplateId() == template_id) return *it;
  return nullptr;
}

void HeadlessBackend::PostLocked(HeadlessWindow* window, UINT message, WPARAM wParam, LPARAM lParam) {
  queue_.push_back({window, message, wParam, lParam, {}});
  Changed();
}

bool HeadlessBackend::PostTask(HeadlessWindow* window, DialogThread::Task task) {
  std::lock_guard lock(mutex_);
  if (window->destroyed_) return false;
  queue_.push_back({window, 0, 0, 0, std::move(task)});
  Changed();
  return true;
}

bool HeadlessBackend::ProcessOne(std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  const auto deadline = Clock::now() + wait;
  QueueItem item;
  for (;;) {
    if (!queue_.empty()) {
      item = std::move(queue_.front());
      queue_.pop_front();
      break;
    }
    auto wake_up = deadline;
    bool timer_due = false;
    if (options_.clock_timers) {
      const auto now = Clock::now();
      for (HeadlessWindow* window : windows_) {
        for (auto& [id, timer] : window->timers_) {
          if (timer.due <= now && !timer_due) {
            item = {window, WM_TIMER, id, 0, {}};
            timer.due = now + std::chrono::milliseconds(timer.elapse_ms);
            timer_due = true;
          }
          wake_up = std::min(wake_up, timer.due);
        }
      }
    }
    if (timer_due) break;
    if (Clock::now() >= deadline) return false;
    changed_.wait_until(lock, wake_up);
  }
  const bool alive = std::find(windows_.begin(), windows_.end(), item.window) != windows_.end();
  lock.unlock();
  if (alive) Dispatch(item);
  lock.lock();
  Changed();
  return true;
}

void HeadlessBackend::Dispatch(QueueItem& item) {
  if (item.call) {
    item.call();
  } else {
    item.window->Client().WindowProc(item.message, item.wParam, item.lParam);
  }
}

bool HeadlessBackend::IsOpen(int template_id) const {
  std::lock_guard lock(mutex_);
  return FindLocked(template_id) != nullptr;
}

bool HeadlessBackend::Post(int template_id, UINT message, WPARAM wParam, LPARAM lParam) {
  std::lock_guard lock(mutex_);
  HeadlessWindow* window = FindLocked(template_id);
  if (!window) return false;
  PostLocked(window, message, wParam, lParam);
  return true;
}

bool HeadlessBackend::Click(int template_id, int control_id) {
  std::lock_guard lock(mutex_);
  HeadlessWindow* window = FindLocked(template_id);
  if (!window) return false;
  auto it = window->controls_.find(control_id);
  if (it == window->controls_.end() || !it->second.enabled) return false;
  PostLocked(window, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(control_id), BN_CLICKED), 0);
  return true;
}

bool HeadlessBackend::FireTimer(int template_id, UINT_PTR timer_id) {
  std::lock_guard lock(mutex_);
  HeadlessWindow* window = FindLocked(template_id);
  if (!window || !window->timers_.count(timer_id)) return false;
  PostLocked(window, WM_TIMER, timer_id, 0);
  return true;
}

int HeadlessBackend::BroadcastDeviceChange(WPARAM event) {
  std::lock_guard lock(mutex_);
  int delivered = 0;
  for (HeadlessWindow* window : windows_) {
    if (window->registrations_.empty()) continue;
    PostLocked(window, WM_DEVICECHANGE, event, 0);
    ++delivered;
  }
  return delivered;
}

bool HeadlessBackend::Call(int template_id, const std::function<void()>& call) {
  HeadlessWindow* window;
  {
    std::lock_guard lock(mutex_);
    window = FindLocked(template_id);
    if (!window) return false;
  }
  return window->dialog_thread_.Send(call);
}

std::optional<ControlState> HeadlessBackend::Control(int template_id, int control_id) const {
  std::lock_guard lock(mutex_);
  HeadlessWindow* window = FindLocked(template_id);
  if (!window) return std::nullopt;
  auto it = window->controls_.find(control_id);
  if (it == window->controls_.end()) return std::nullopt;
  return it->second;
}

std::optional<TimerState> HeadlessBackend::Timer(int template_id, UINT_PTR timer_id) const {
  std::lock_guard lock(mutex_);
  HeadlessWindow* window = FindLocked(template_id);
  if (!window) return std::nullopt;
  auto it = window->timers_.find(timer_id);
  if (it == window->timers_.end()) return std::nullopt;
  return TimerState{it->second.elapse_ms};
}

std::optional<COLORREF> HeadlessBackend::BackgroundColor(int template_id, int control_id) {
  std::optional<COLORREF> color;
  std::optional<ControlState> control = Control(template_id, control_id);
  if (!control) return std::nullopt;
  const UINT kind = control->kind == ControlKind::kEdit ? CTLCOLOR_EDIT : CTLCOLOR_STATIC;
  HeadlessWindow* window;
  {
    std::lock_guard lock(mutex_);
    window = FindLocked(template_id);
  }
  if (!window) return std::nullopt;
  window->dialog_thread_.Send([&] {
    CDC dc;
    window->Client().CtlColor(dc, control_id, kind);
    color = dc.bk_color;
  });
  return color;
}

std::optional<RECT> HeadlessBackend::WindowRect(int template_id) const {
  std::lock_guard lock(mutex_);
  HeadlessWindow* window = FindLocked(template_id);
  return window ? window->window_rect_ : std::nullopt;
}

int HeadlessBackend::DeviceRegistrations(int template_id) const {
  std::lock_guard lock(mutex_);
  HeadlessWindow* window = FindLocked(template_id);
  return window ? static_cast<int>(window->registrations_.size()) : 0;
}

std::vector<UINT_PTR> HeadlessBackend::SystemMenu(int template_id) const {
  std::lock_guard lock(mutex_);
  HeadlessWindow* window = FindLocked(template_id);
  return window ? window->system_menu_ : std::vector<UINT_PTR>{};
}

std::vector<MessageBoxRecord> HeadlessBackend::MessageBoxes() const {
  std::lock_guard lock(mutex_);
  return message_boxes_;
}

HICON HeadlessBackend::Icon(int template_id, bool big) const {
  std::lock_guard lock(mutex_);
  HeadlessWindow* window = FindLocked(template_id);
  if (!window) return nullptr;
  return big ? window->big_icon_ : window->small_icon_;
}

bool HeadlessBackend::WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(10));
  }
}

void HeadlessBackend::SetFailDeviceRegistration(bool fail) {
  std::lock_guard lock(mutex_);
  options_.fail_device_registration = fail;
}

void HeadlessBackend::SetClockTimers(bool on) {
  std::lock_guard lock(mutex_);
  options_.clock_timers = on;
  Changed();
}

}  // namespace fcp::ui::headless
