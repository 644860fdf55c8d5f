#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <system_error>

#include "app/check_worker.h"
#include "dialog_fixture.h"
#include "recording_notices.h"

namespace fcp::test {
namespace {

constexpr char kLogName[] = "FailedLog_2026_12_10_04_05_06.txt";

TEST_F(DialogTest, NoCameraTheFirstCheckFailsAndCanBeRepeated) {
  Open();
  EXPECT_EQ(Text(IDC_STATUS), L"FAIL");
  EXPECT_EQ(Text(IDC_EDIT_CAMERA), L"");
  EXPECT_TRUE(Enabled(IDC_BUTTON_CHECK));
  EXPECT_EQ(backend_.BackgroundColor(kDialog, IDC_STATUS), RGB(255, 0, 0));
  EXPECT_EQ(g_nCheckResult, -1);
  EXPECT_EQ(ops_.open_default_calls.load(), 1);
  EXPECT_EQ(ops_.open_by_vid_pid_calls.load(), 0);
  EXPECT_EQ(ReadFile(ResultFile()), "fail\r\n");
  EXPECT_EQ(FailureLogs(), std::vector<std::string>{kLogName});
  EXPECT_EQ(ReadFile(dir_ / kLogName), "No vaild device.\r\n");

  // Window set-up: about entry after a separator, both icons, one device registration, status font.
  EXPECT_EQ(backend_.SystemMenu(kDialog), (std::vector<UINT_PTR>{0, IDM_ABOUTBOX}));
  EXPECT_NE(backend_.Icon(kDialog, true), nullptr);
  EXPECT_EQ(backend_.Icon(kDialog, false), backend_.Icon(kDialog, true));
  EXPECT_EQ(backend_.DeviceRegistrations(kDialog), 1);
  const auto status = backend_.Control(kDialog, IDC_STATUS);
  EXPECT_EQ(status->font.lfHeight, status->rect.bottom - status->rect.top);
  EXPECT_EQ(status->font.lfWeight, FW_BOLD);
  EXPECT_FALSE(backend_.WindowRect(kDialog)) << "not silent: the window stays where it is";

  ASSERT_TRUE(backend_.Click(kDialog, IDC_BUTTON_CHECK));
  ASSERT_TRUE(backend_.WaitFor([&] { return ops_.repair_runs == 2; }));
  ASSERT_TRUE(WaitCheckEnded());
  EXPECT_EQ(Text(IDC_STATUS), L"FAIL");
  EXPECT_EQ(ReadFile(ResultFile()), "fail\r\n");

  Close();
  EXPECT_EQ(modal_result_, IDCANCEL);
}

TEST_F(DialogTest, CameraSelectedAndPassing) {
  ops_.camera_present = true;
  ops_.verdict = 1;
  ops_.error.clear();
  Open();
  EXPECT_EQ(Text(IDC_STATUS), L"PASS");
  EXPECT_EQ(Text(IDC_EDIT_CAMERA), L"VID_1D6B&PID_0102&REV_0100");
  EXPECT_EQ(ops_.last_repair_location, L"001.003.000.000.000.000");
  EXPECT_EQ(backend_.BackgroundColor(kDialog, IDC_STATUS), RGB(0, 255, 0));
  EXPECT_EQ(g_nCheckResult, 0);
  EXPECT_EQ(ReadFile(ResultFile()), "pass\r\n");
  EXPECT_TRUE(FailureLogs().empty());
}

TEST_F(DialogTest, ResultFilesByteForByte) {
  struct Case {
    int verdict;
    const wchar_t* command_line;
    const char* result;
    const wchar_t* error;
    const char* log;  // nullptr: no failure log
  };
  const Case cases[] = {
      {1, L"", "pass\r\n", L"", nullptr},
      {1, L"-LVIOutput", "[Tool_Result]\r\nRtn=Pass\r\n", L"", nullptr},
      {0, L"", "fail\r\n", L"Failed to DFU_OpenByLocationInfo\n", "Failed to DFU_OpenByLocationInfo\r\n"},
      {0, L"/lvioutput", "[Tool_Result]\r\nRtn=Fail\r\n", L"Failed to DFU_OpenByLocationInfo\n",
       "Failed to DFU_OpenByLocationInfo\r\n"},
      {0, L"", "fail\r\n", L"", ""},  // a failure without a message leaves an empty log
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "verdict " << c.verdict << " result " << c.result);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    ops_.Reset();
    ops_.camera_present = true;
    ops_.verdict = c.verdict;
    ops_.error = c.error;
    closed_ = false;
    Open(c.command_line);
    EXPECT_EQ(ReadFile(ResultFile()), c.result);
    if (c.log) {
      EXPECT_EQ(FailureLogs(), std::vector<std::string>{kLogName});
      EXPECT_EQ(ReadFile(dir_ / kLogName), c.log);
    } else {
      EXPECT_TRUE(FailureLogs().empty());
    }
    Close();
  }
}

TEST_F(DialogTest, UnwritableDirectoryStillShowsAndReportsTheVerdict) {
  RecordingNotices notices;
  const std::filesystem::path missing = dir_ / "missing";
  environment_.module_file_name = (missing / "fixcorepower").wstring();
  Open();
  EXPECT_EQ(Text(IDC_STATUS), L"FAIL");
  EXPECT_EQ(g_nCheckResult, -1);
  EXPECT_FALSE(std::filesystem::exists(missing));
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
  // The operator learns the verdict, and that and why neither file was written.
  const std::string reason = std::generic_category().message(ENOENT);
  EXPECT_EQ(notices.Lines(), (std::vector<std::string>{
                                 "FAIL: No vaild device. (no camera selected)",
                                 "could not write the result file " + (missing / "result.txt").string() + ": " + reason,
                                 "could not write the result file " + (missing / kLogName).string() + ": " + reason,
                             }));
}

TEST_F(DialogTest, OneLineForTheOperatorPerVerdict) {
  RecordingNotices notices;
  ops_.camera_present = true;
  ops_.camera_vid = 0x1BCF;
  ops_.camera_pid = 0x2B8A;
  ops_.verdict = 1;
  Open();
  // The failure log's lines on one line; a failure without a message says so.
  ops_.verdict = 0;
  ops_.error = L"Failed to DFU_Vendorreqset(0x51, 0x0, 40, pbyPatch, 19)\nFailed to fix core power.\n";
  ASSERT_TRUE(backend_.Click(kDialog, IDC_BUTTON_CHECK));
  ASSERT_TRUE(backend_.WaitFor([&] { return notices.Lines().size() == 2; }));
  ASSERT_TRUE(WaitCheckEnded());  // the line comes before the button is enabled again
  ops_.error.clear();
  ASSERT_TRUE(backend_.Click(kDialog, IDC_BUTTON_CHECK));
  ASSERT_TRUE(backend_.WaitFor([&] { return notices.Lines().size() == 3; }));
  EXPECT_EQ(notices.Lines(),
            (std::vector<std::string>{
                "PASS (camera 1bcf:2b8a at 001.003.000.000.000.000)",
                "FAIL: Failed to DFU_Vendorreqset(0x51, 0x0, 40, pbyPatch, 19); Failed to fix core power. (camera "
                "1bcf:2b8a at 001.003.000.000.000.000)",
                "FAIL: no reason recorded (camera 1bcf:2b8a at 001.003.000.000.000.000)",
            }));
}

TEST_F(DialogTest, FailureLogsWithinOneSecondNeverReplaceEachOther) {
  // The clock stands still: every failure falls into the same second. The first name is taken
  // already (another run of the tool, a moment ago).
  {
    std::ofstream earlier(dir_ / kLogName, std::ios::binary);
    earlier << "earlier\r\n";
  }
  ops_.camera_present = true;
  ops_.error = L"first\n";
  Open();
  ops_.error = L"second\n";
  ASSERT_TRUE(backend_.Click(kDialog, IDC_BUTTON_CHECK));
  ASSERT_TRUE(backend_.WaitFor([&] { return FailureLogs().size() == 3; }));
  ASSERT_TRUE(WaitCheckEnded());
  const std::string stem = std::string(kLogName).substr(0, std::string(kLogName).size() - 4);
  EXPECT_EQ(FailureLogs(), (std::vector<std::string>{kLogName, stem + "_2.txt", stem + "_3.txt"}));
  EXPECT_EQ(ReadFile(dir_ / kLogName), "earlier\r\n");
  EXPECT_EQ(ReadFile(dir_ / (stem + "_2.txt")), "first\r\n");
  EXPECT_EQ(ReadFile(dir_ / (stem + "_3.txt")), "second\r\n");
}

TEST_F(DialogTest, StatusColours) {
  Open();
  const std::pair<const wchar_t*, std::optional<COLORREF>> cases[] = {
      {L"N/A", std::nullopt}, {L"PASS", RGB(0, 255, 0)}, {L"FAIL", RGB(255, 0, 0)},
      {L"pass", std::nullopt}, {L"FAIL ", std::nullopt}};
  for (const auto& [status, colour] : cases) {
    const wchar_t* text = status;  // a lambda cannot capture a structured binding before clang 16
    OnDialog([&](CFixCorePowerDlg& dialog) { dialog.SetDlgItemText(IDC_STATUS, text); });
    EXPECT_EQ(backend_.BackgroundColor(kDialog, IDC_STATUS), colour) << std::wstring(text).c_str();
  }
  // Only the status cell is coloured.
  OnDialog([&](CFixCorePowerDlg& dialog) { dialog.SetDlgItemText(IDC_EDIT_CAMERA, L"PASS"); });
  EXPECT_EQ(backend_.BackgroundColor(kDialog, IDC_EDIT_CAMERA), std::nullopt);
}

TEST_F(DialogTest, SelectionByIdsWhenEitherIsGiven) {
  const std::tuple<const wchar_t*, int, int, uint16_t, uint16_t> cases[] = {
      {L"-vid 1bcf", 0, 1, 0x1BCF, 0}, {L"-pid 0x2b8a", 0, 1, 0, 0x2B8A}, {L"-vid 0 -pid 0", 1, 0, 0, 0}};
  for (const auto& [commandLine, defaultCalls, idCalls, vid, pid] : cases) {
    SCOPED_TRACE(testing::Message() << std::wstring(commandLine).c_str());
    ops_.Reset();
    closed_ = false;
    Open(commandLine);
    EXPECT_EQ(ops_.open_default_calls.load(), defaultCalls);
    EXPECT_EQ(ops_.open_by_vid_pid_calls.load(), idCalls);
    EXPECT_EQ(ops_.last_vid.load(), vid);
    EXPECT_EQ(ops_.last_pid.load(), pid);
    Close();
  }
}

TEST_F(DialogTest, HalfKnownCameraIsNotSelected) {
  for (const bool name_fails : {true, false}) {
    ops_.Reset();
    ops_.camera_present = true;
    ops_.name_fails = name_fails;
    ops_.location_fails = !name_fails;
    closed_ = false;
    Open();
    EXPECT_EQ(Text(IDC_EDIT_CAMERA), L"");
    EXPECT_EQ(Location(), L"");
    EXPECT_EQ(ops_.last_repair_location, L"");
    Close();
  }
}

TEST_F(DialogTest, ButtonDisabledAndDeviceChangesIgnoredDuringACheck) {
  ops_.camera_present = true;
  ops_.hold_repair = true;
  { std::ofstream stale(ResultFile()); stale << "pass\r\n"; }
  Open(L"", false);
  ASSERT_TRUE(backend_.WaitFor([&] { return ops_.repairs_at_gate == 1; }));
  EXPECT_FALSE(std::filesystem::exists(ResultFile())) << "no stale verdict while a check runs";
  EXPECT_FALSE(Enabled(IDC_BUTTON_CHECK));
  EXPECT_FALSE(backend_.Click(kDialog, IDC_BUTTON_CHECK));
  EXPECT_EQ(Text(IDC_STATUS), L"N/A");
  bool checking = false;
  OnDialog([&](CFixCorePowerDlg& dialog) { checking = dialog.m_bChecking != 0; });
  EXPECT_TRUE(checking);

  ops_.camera_present = false;
  EXPECT_EQ(backend_.BroadcastDeviceChange(DBT_DEVICEREMOVECOMPLETE), 1);
  EXPECT_EQ(backend_.BroadcastDeviceChange(DBT_DEVICEARRIVAL), 1);
  OnDialog([](CFixCorePowerDlg&) {});  // both processed
  EXPECT_EQ(ops_.open_default_calls.load(), 1);
  EXPECT_FALSE(backend_.Timer(kDialog, 100));

  ops_.verdict = 1;
  ops_.OpenGate();
  ASSERT_TRUE(WaitCheckEnded());
  EXPECT_EQ(Text(IDC_STATUS), L"PASS");
  EXPECT_EQ(Text(IDC_EDIT_CAMERA), L"VID_1D6B&PID_0102&REV_0100") << "still the camera selected before";
}

TEST_F(DialogTest, RemovalRescansAtOnce) {
  ops_.camera_present = true;
  ops_.verdict = 1;
  Open();
  ASSERT_EQ(Text(IDC_STATUS), L"PASS");
  ops_.camera_present = false;
  backend_.BroadcastDeviceChange(DBT_DEVICEREMOVECOMPLETE);
  ASSERT_TRUE(backend_.WaitFor([&] { return Text(IDC_STATUS) == L"N/A"; }));
  OnDialog([](CFixCorePowerDlg&) {});  // the rescan has ended
  EXPECT_EQ(Text(IDC_EDIT_CAMERA), L"");
  EXPECT_FALSE(Enabled(IDC_BUTTON_CHECK));
  EXPECT_EQ(Location(), L"");
  EXPECT_EQ(ops_.open_default_calls.load(), 2);
  EXPECT_FALSE(backend_.Timer(kDialog, 100));

  // Events other than arrival and removal do nothing.
  backend_.BroadcastDeviceChange(0x0007);  // DBT_DEVNODES_CHANGED
  OnDialog([](CFixCorePowerDlg&) {});
  EXPECT_EQ(ops_.open_default_calls.load(), 2);
}

TEST_F(DialogTest, ArrivalStartsASeriesOfAtMost25Rescans) {
  Open();
  auto fire = [&] {
    OnDialog([](CFixCorePowerDlg&) {});  // the previous tick has armed the timer again
    const int before = ops_.open_default_calls;
    if (!backend_.FireTimer(kDialog, 100)) return false;
    return backend_.WaitFor([&] { return ops_.open_default_calls == before + 1; });
  };
  auto armed = [&] {
    OnDialog([](CFixCorePowerDlg&) {});
    auto timer = backend_.Timer(kDialog, 100);
    return timer && timer->elapse_ms == 200;
  };

  backend_.BroadcastDeviceChange(DBT_DEVICEARRIVAL);
  ASSERT_TRUE(armed());
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(fire());
  // A new arrival restarts the count.
  backend_.BroadcastDeviceChange(DBT_DEVICEARRIVAL);
  for (int i = 0; i < 24; ++i) {
    ASSERT_TRUE(fire()) << i;
    ASSERT_TRUE(armed()) << i;
  }
  ASSERT_TRUE(fire());
  EXPECT_FALSE(armed()) << "the 25th try ends the series";
  EXPECT_EQ(Text(IDC_STATUS), L"N/A");

  // A later arrival starts a new series, which stops at the first camera found.
  backend_.BroadcastDeviceChange(DBT_DEVICEARRIVAL);
  ASSERT_TRUE(fire());
  ASSERT_TRUE(armed());
  ops_.camera_present = true;
  ASSERT_TRUE(fire());
  EXPECT_FALSE(armed());
  EXPECT_EQ(Text(IDC_EDIT_CAMERA), L"VID_1D6B&PID_0102&REV_0100");
  EXPECT_TRUE(Enabled(IDC_BUTTON_CHECK));
}

TEST_F(DialogTest, SilentModeMovesOffScreenAndClosesAfterTheCheck) {
  Open(L"-s");
  ASSERT_TRUE(WaitClosed());
  EXPECT_EQ(modal_result_, IDCANCEL);
  EXPECT_EQ(ops_.repair_runs.load(), 1);
  EXPECT_EQ(g_nCheckResult, -1);
  EXPECT_EQ(ReadFile(ResultFile()), "fail\r\n");
  EXPECT_EQ(FailureLogs().size(), 1u);
}

TEST_F(DialogTest, SilentWindowIsOffScreen) {
  ops_.hold_repair = true;
  Open(L"-s", false);
  ASSERT_TRUE(backend_.WaitFor([&] { return ops_.repairs_at_gate == 1; }));
  const auto rect = backend_.WindowRect(kDialog);
  ASSERT_TRUE(rect);
  EXPECT_EQ(rect->left, -10000);
  EXPECT_EQ(rect->top, -10000);
  EXPECT_EQ(rect->right, -10000);
  EXPECT_EQ(rect->bottom, -10000);
  ops_.OpenGate();
  ASSERT_TRUE(WaitClosed());
}

TEST_F(DialogTest, FailedRegistrationReportsAndClosesWithoutACheck) {
  backend_.SetFailDeviceRegistration(true);
  { std::ofstream old(ResultFile()); old << "pass\r\n"; }
  Open(L"-s", false);
  ASSERT_TRUE(WaitClosed());
  const auto boxes = backend_.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, L"Failed to register USB device interface.");
  EXPECT_EQ(boxes[0].type, MB_OK);
  EXPECT_EQ(ops_.repair_runs.load(), 0);
  EXPECT_EQ(ops_.open_default_calls.load(), 0);
  EXPECT_EQ(ReadFile(ResultFile()), "pass\r\n") << "result files are not touched";
  EXPECT_TRUE(FailureLogs().empty());
  EXPECT_EQ(g_nCheckResult, -1) << "no check ran: the exit code must not say PASS";
}

TEST_F(DialogTest, ClosingStopsARunningCheckWhichReportsNothing) {
  ops_.camera_present = true;
  ops_.hold_repair = true;
  Open(L"", false);
  ASSERT_TRUE(backend_.WaitFor([&] { return ops_.repairs_at_gate == 1; }));
  Close();
  EXPECT_EQ(ops_.repairs_stopped.load(), 1);
  EXPECT_EQ(g_nCheckResult, -1) << "an unfinished check";
  EXPECT_FALSE(std::filesystem::exists(ResultFile()));
  EXPECT_TRUE(FailureLogs().empty());
}

TEST_F(DialogTest, NewCheckStopsARunningCheck) {
  ops_.camera_present = true;
  ops_.hold_repair = true;
  Open(L"", false);
  ASSERT_TRUE(backend_.WaitFor([&] { return ops_.repairs_at_gate == 1; }));
  bool checking = true;
  OnDialog([&](CFixCorePowerDlg& dialog) {
    dialog.StopWorker();
    checking = dialog.m_bChecking != 0;
  });
  EXPECT_FALSE(checking);
  EXPECT_EQ(ops_.repairs_stopped.load(), 1);
  EXPECT_EQ(Text(IDC_STATUS), L"N/A");
  EXPECT_FALSE(std::filesystem::exists(ResultFile()));

  // A new check after it runs normally.
  ops_.verdict = 1;
  ops_.OpenGate();
  OnDialog([](CFixCorePowerDlg& dialog) { dialog.OnBnClickedCheck(); });
  ASSERT_TRUE(WaitCheckEnded());
  EXPECT_EQ(Text(IDC_STATUS), L"PASS");
  EXPECT_EQ(ReadFile(ResultFile()), "pass\r\n");
}

// A device change handled just before the worker marks the check as running (the dialog's thread
// runs it while the worker's first control call waits): an arrival arms the rescan timer, whose
// tick then comes during the check; a removal rescans at once. Neither may stop the check. With the
// clock's timers, as a station runs it: the silent run must end with its verdict and its files.
TEST_F(DialogTest, DeviceChangeJustBeforeTheCheckNeverStopsIt) {
  backend_.SetClockTimers(true);
  for (const WPARAM event : {DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE}) {
    SCOPED_TRACE(testing::Message() << "event " << std::hex << event);
    std::filesystem::remove(ResultFile());
    ops_.Reset();
    ops_.camera_present = true;
    ops_.verdict = 1;
    ops_.hold_selection = true;
    ops_.hold_repair = true;
    closed_ = false;
    Open(L"-s", false);
    ASSERT_TRUE(backend_.WaitFor([&] { return ops_.selections_at_gate == 1; }));
    ASSERT_EQ(backend_.BroadcastDeviceChange(event), 1);  // queued before the worker's first call
    ops_.OpenSelectionGate();
    ASSERT_TRUE(backend_.WaitFor([&] { return ops_.repairs_at_gate == 1; }));
    if (event == DBT_DEVICEARRIVAL) {
      // The tick comes 200 ms later and finds the check running.
      ASSERT_TRUE(backend_.WaitFor([&] { return backend_.Timer(kDialog, 100).has_value(); }));
      ASSERT_TRUE(backend_.WaitFor([&] { return !backend_.Timer(kDialog, 100).has_value(); }));
    }
    EXPECT_EQ(ops_.open_default_calls.load(), 1) << "no selection while the check runs";
    ops_.OpenGate();
    ASSERT_TRUE(WaitClosed()) << "the silent run must end";
    EXPECT_EQ(ops_.repairs_stopped.load(), 0);
    EXPECT_EQ(g_nCheckResult, 0);
    EXPECT_EQ(ReadFile(ResultFile()), "pass\r\n");
  }
}

// Once the patch write has started, the read-back and commit follow whatever is asked: so does the
// verdict. The operator closing the dialog then must not lose a failed commit's message.
TEST_F(DialogTest, StopAfterThePatchWriteKeepsTheVerdict) {
  struct Case {
    int verdict;
    const char* result;
    const char* log;  // nullptr: none
    int exit_code;
  };
  const Case cases[] = {{0, "fail\r\n", "Failed to fix core power.\r\n", -1}, {1, "pass\r\n", nullptr, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "verdict " << c.verdict);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    ops_.Reset();
    ops_.camera_present = true;
    ops_.verdict = c.verdict;
    ops_.error = L"Failed to fix core power.\n";
    ops_.hold_repair = true;
    ops_.gate_past_patch_write = true;
    closed_ = false;
    Open(L"", false);
    ASSERT_TRUE(backend_.WaitFor([&] { return ops_.repairs_at_gate == 1; }));
    backend_.Post(kDialog, WM_CLOSE);
    ASSERT_TRUE(backend_.WaitFor([&] { return ops_.stop_requests_seen == 1; }));
    ops_.OpenGate();
    ASSERT_TRUE(WaitClosed());
    EXPECT_EQ(g_nCheckResult, c.exit_code);
    EXPECT_EQ(ReadFile(ResultFile()), c.result);
    if (c.log) {
      EXPECT_EQ(FailureLogs(), std::vector<std::string>{kLogName});
      EXPECT_EQ(ReadFile(dir_ / kLogName), c.log);
    } else {
      EXPECT_TRUE(FailureLogs().empty());
    }
  }
}

TEST_F(DialogTest, NoThreadForTheCheckFailsItCleanly) {
  const WorkerThreadFactory previous = SetWorkerThreadFactory([](std::function<void()>) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  });
  ops_.camera_present = true;
  ops_.verdict = 1;
  Open(L"-s", false);
  const bool closed = WaitClosed();
  SetWorkerThreadFactory(previous);
  ASSERT_TRUE(closed);
  EXPECT_EQ(ops_.repair_runs.load(), 0);
  EXPECT_EQ(g_nCheckResult, -1);
  EXPECT_EQ(ReadFile(ResultFile()), "fail\r\n");
  EXPECT_EQ(FailureLogs(), std::vector<std::string>{kLogName});
  EXPECT_EQ(ReadFile(dir_ / kLogName), "Failed to start the check thread\r\n");
}

TEST_F(DialogTest, FailureLogNameWithoutALocalTime) {
  struct Case {
    std::time_t now;
    bool local_time_fails;
    const char* name;
  };
  const Case cases[] = {
      {0, false, kLogName},
      {0, true, "FailedLog_unknown_time.txt"},
      {static_cast<std::time_t>(-1), false, "FailedLog_unknown_time.txt"},  // the clock could not be read
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    environment_.now = c.now;
    environment_.local_time_fails = c.local_time_fails;
    closed_ = false;
    Open(L"-s", false);
    ASSERT_TRUE(WaitClosed());
    EXPECT_EQ(FailureLogs(), std::vector<std::string>{c.name});
    EXPECT_EQ(ReadFile(dir_ / c.name), "No vaild device.\r\n");
  }
}

TEST_F(DialogTest, AboutBoxFromTheSystemMenu) {
  Open();
  // The low four bits of a system command are the platform's own.
  backend_.Post(kDialog, WM_SYSCOMMAND, IDM_ABOUTBOX | 0x3);
  ASSERT_TRUE(backend_.WaitFor([&] { return backend_.IsOpen(IDD_ABOUTBOX); }));
  EXPECT_EQ(backend_.Control(IDD_ABOUTBOX, 0)->text, L"About Quillon_Dialog");
  ASSERT_TRUE(backend_.Click(IDD_ABOUTBOX, IDOK));
  ASSERT_TRUE(backend_.WaitFor([&] { return !backend_.IsOpen(IDD_ABOUTBOX); }));
  EXPECT_TRUE(backend_.IsOpen(kDialog));
}

}  // namespace
}  // namespace fcp::test
