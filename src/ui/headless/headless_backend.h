// The headless backend: dialogs without a display. Windows are plain control state; messages go
// through one queue processed by the dialog's thread, exactly as the framework promises (control
// calls from other threads wait until the dialog's thread has carried them out).
//
// Two uses: the Linux tool in silent mode on a station without a desktop (timers run on the clock,
// message boxes go to standard error, device events come from the watch each registration starts),
// and tests, which run DoModal on a thread of their own and drive the dialog from outside: post
// clicks and device events, fire timers, read control state, wait for conditions.
#pragma once
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ui/backend.h"
#include "ui/dialog_thread.h"

namespace fcp::ui::headless {

struct Options {
  // Timers fire on the clock. Off: they only fire when FireTimer is called (tests).
  bool clock_timers = true;
  // Message boxes are written to standard error as well as recorded.
  bool echo_message_boxes = false;
  // RegisterDeviceNotification fails (tests of the failure path).
  bool fail_device_registration = false;
  // Where a device registration's events come from: called when a window registers, with the
  // function that delivers one device event to that window as WM_DEVICECHANGE, from any thread; the
  // watch lasts as long as the returned object (dropped at unregistration or when the window goes).
  // nullptr: the registration fails. Unset: events come only from BroadcastDeviceChange.
  std::function<std::shared_ptr<void>(std::function<void(os::DeviceEvent event)> deliver)> watch_devices = nullptr;
};

// What a test can read of a control.
struct ControlState {
  ControlKind kind = ControlKind::kStatic;
  std::wstring text;
  bool enabled = true;
  RECT rect{};  // in the dialog's client area, pixels
  LOGFONTW font{};
};

struct MessageBoxRecord {
  int template_id = 0;
  std::wstring text;
  std::wstring caption;
  UINT type = 0;
};

struct TimerState {
  UINT elapse_ms = 0;
};

class HeadlessWindow;

class HeadlessBackend final : public Backend {
 public:
  explicit HeadlessBackend(Options options = {});
  ~HeadlessBackend() override;

  // Backend.
  const char* Name() const override { return "headless"; }
  bool HasDisplay() const override { return false; }
  HICON LoadIcon(int resource_id) override;
  INT_PTR DoModal(const DialogTemplate& dialog, DialogClient& client, DialogWindow* owner) override;

  // Driving and reading, from any thread. Windows are named by their template id; the newest open
  // window with that id is meant. Each returns false / nothing when no such window is open.
  bool IsOpen(int template_id) const;
  bool Post(int template_id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
  bool Click(int template_id, int control_id);  // WM_COMMAND BN_CLICKED, only if the control is enabled
  bool FireTimer(int template_id, UINT_PTR timer_id);  // posts WM_TIMER if the timer is armed
  // Posts WM_DEVICECHANGE(event) to every window that holds a device registration. Returns how many.
  int BroadcastDeviceChange(WPARAM event);
  // Runs `call` on the dialog's thread, as the next message, and waits for it.
  bool Call(int template_id, const std::function<void()>& call);

  std::optional<ControlState> Control(int template_id, int control_id) const;
  std::optional<TimerState> Timer(int template_id, UINT_PTR timer_id) const;
  // The background colour WM_CTLCOLOR gives the control now (none: the default colours); asks the
  // dialog on its thread, as drawing would.
  std::optional<COLORREF> BackgroundColor(int template_id, int control_id);
  std::optional<RECT> WindowRect(int template_id) const;  // as last set by MoveWindow
  int DeviceRegistrations(int template_id) const;
  std::vector<UINT_PTR> SystemMenu(int template_id) const;  // command ids appended (0: separator)
  std::vector<MessageBoxRecord> MessageBoxes() const;
  HICON Icon(int template_id, bool big) const;

  // Waits until `condition` holds (checked whenever the state changes, at least every 10 ms).
  bool WaitFor(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  void SetFailDeviceRegistration(bool fail);
  void SetClockTimers(bool on);

 private:
  friend class HeadlessWindow;
  struct QueueItem {
    HeadlessWindow* window = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    DialogThread::Task call;  // a call carried to the dialog's thread: run instead of a message
  };

  HeadlessWindow* FindLocked(int template_id) const;
  void PostLocked(HeadlessWindow* window, UINT message, WPARAM wParam, LPARAM lParam);
  // The window's loop primitive: queues a task for its dialog's thread; false when the window is gone.
  bool PostTask(HeadlessWindow* window, DialogThread::Task task);
  // Processes one queued item or due timer; waits up to `wait` for one. False when none came.
  bool ProcessOne(std::chrono::milliseconds wait);
  void Dispatch(QueueItem& item);
  void Changed() const { changed_.notify_all(); }

  Options options_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<QueueItem> queue_;
  std::vector<HeadlessWindow*> windows_;  // open windows, oldest first
  std::vector<std::unique_ptr<HeadlessWindow>> closed_windows_;
  std::vector<MessageBoxRecord> message_boxes_;
};

}  // namespace fcp::ui::headless
