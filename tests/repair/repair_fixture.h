// A virtual workstation made current for the camera and DFU layers, with the wire trace collected:
// what every repair test runs the tool's layers against.
#pragma once
#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <sstream>
#include <stop_token>
#include <string>
#include <vector>

#include "sim/libusb/sim_libusb.h"
#include "sim/scenario.h"
#include "sim/windows/passthrough_views.h"
#include "sim/windows/windows_views.h"
#include "sim/workstation.h"
#include "dfu/dfu.h"
#include "uvc/uvc.h"

namespace fcp::repair::testing {

class TracedWorkstation {
 public:
  // With `passThrough` the workstation also has the pass-through route: a simulated Windows with the
  // tool's driver, the device tree and the camera layer's ports.
  explicit TracedWorkstation(const std::string& scenarioFile, bool passThrough = false)
      : load_(sim::LoadScenarioFile(Path(scenarioFile))) {
    EXPECT_TRUE(load_.workstation) << load_.error;
    workstation_ = std::make_unique<sim::ScopedWorkstation>(load_.workstation);
    views_ = std::make_unique<sim::windows::ScopedWindowsViews>(load_.workstation);
    if (passThrough) {
      passThrough_ = std::make_unique<sim::windows::PassThroughViews>(load_.workstation);
      passThroughPorts_ =
          std::make_unique<sim::windows::ScopedPassThroughPorts>(*passThrough_, views_->views().registry());
    }
    load_.workstation->set_trace_sink([this](const std::string& line) {
      trace_.push_back(line);
      if (stopNth_ != 0 && SetupOf(line).rfind(stopSetup_, 0) == 0 && ++stopSeen_ == stopNth_) {
        stop_.request_stop();
        transfersUntilStop_ = trace_.size();
      }
    });
  }
  ~TracedWorkstation() {
    // A failed DFU open leaves its listing until the next one; release it so a leak shows.
    DFU_Close();
    if (passThrough_) {
      EXPECT_FALSE(passThrough_->windows().ServiceNamed(L"KvxUpx")) << "the driver's service was left behind";
      EXPECT_EQ(passThrough_->tree().OpenInterfaceFiles(), 0u) << "a camera interface was left open";
    }
    passThroughPorts_.reset();
    passThrough_.reset();
    views_.reset();
    workstation_.reset();
    EXPECT_TRUE(sim::LiveLibusbObjects().AllReleased()) << "a libusb object was left behind";
  }

  static std::string Path(const std::string& file) { return std::string(FCP_SCENARIO_DIR) + "/" + file; }

  sim::Workstation& workstation() { return *load_.workstation; }
  sim::Chip& chip(const std::string& device = "cam0") { return *workstation().Find(device)->chip; }

  // The location of the camera the dialog would select.
  std::wstring DefaultLocation() {
    std::wstring location;
    if (UVC_OpenDefault()) UVC_GetLocationInfo(location);
    UVC_Close();
    return location;
  }

  // Host-to-device vendor requests that reached the chip (writes to its configuration and registers).
  // A trace line is: device, setup bytes, data, outcome (bytes moved, or why nothing moved).
  std::vector<std::string> VendorWrites() const {
    std::vector<std::string> writes;
    for (const auto& line : trace_) {
      std::istringstream fields(line);
      std::string device, setup, data, outcome;
      fields >> device >> setup >> data >> outcome;
      const bool moved = !outcome.empty() && std::isdigit(static_cast<unsigned char>(outcome[0])) && outcome != "0";
      if (setup.compare(0, 2, "40") == 0 && moved) writes.push_back(line);
    }
    return writes;
  }
  size_t TransferCount() const { return trace_.size(); }
  const std::vector<std::string>& Trace() const { return trace_; }
  // The simulated Windows of the pass-through route (null without it).
  sim::windows::PassThroughViews* passThrough() { return passThrough_.get(); }

  // Requests a stop from inside the `nth` transfer from now on whose setup packet starts with
  // `setupPrefix` (hex, as in the trace), the way a dialog may while the check waits on the device;
  // with `nth` 0, at once.
  void RequestStopDuring(const std::string& setupPrefix, unsigned nth, std::stop_source stop) {
    stop_ = std::move(stop);
    if (nth == 0) {
      stop_.request_stop();
      transfersUntilStop_ = trace_.size();
      return;
    }
    stopSetup_ = setupPrefix;
    stopNth_ = nth;
    stopSeen_ = 0;
  }
  size_t TransfersAfterStop() const { return trace_.size() - transfersUntilStop_; }

 private:
  static std::string SetupOf(const std::string& line) {
    std::istringstream fields(line);
    std::string device, setup;
    fields >> device >> setup;
    return setup;
  }

  sim::ScenarioLoad load_;
  std::unique_ptr<sim::ScopedWorkstation> workstation_;
  std::unique_ptr<sim::windows::ScopedWindowsViews> views_;
  std::unique_ptr<sim::windows::PassThroughViews> passThrough_;
  std::unique_ptr<sim::windows::ScopedPassThroughPorts> passThroughPorts_;
  std::vector<std::string> trace_;
  std::stop_source stop_{std::nostopstate};
  std::string stopSetup_;
  unsigned stopNth_ = 0;
  unsigned stopSeen_ = 0;
  size_t transfersUntilStop_ = 0;
};

}  // namespace fcp::repair::testing
