// A virtual workstation made current for the camera and DFU layers, with the wire trace collected:
// what every repair test runs the tool's layers against.
#pragma once
#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <set>
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
  explicit TracedWorkstation(const std::string& scenario_file, bool pass_through = false)
      : load_(sim::LoadScenarioFile(Path(scenario_file))) {
    EXPECT_TRUE(load_.workstation) << load_.error;
    workstation_ = std::make_unique<sim::ScopedWorkstation>(load_.workstation);
    views_ = std::make_unique<sim::windows::ScopedWindowsViews>(load_.workstation);
    if (pass_through) {
      pass_through_ = std::make_unique<sim::windows::PassThroughViews>(load_.workstation);
      pass_through_ports_ =
          std::make_unique<sim::windows::ScopedPassThroughPorts>(*pass_through_, views_->Views().Registry());
    }
    load_.workstation->SetTraceSink([this](const std::string& line) {
      trace_.push_back(line);
      if (stop_nth_ != 0 && SetupOf(line).rfind(stop_setup_, 0) == 0 && ++stop_seen_ == stop_nth_) {
        stop_.request_stop();
        transfers_until_stop_ = trace_.size();
      }
    });
  }
  ~TracedWorkstation() {
    // A failed DFU open leaves its listing until the next one; release it so a leak shows.
    DFU_Close();
    if (pass_through_) {
      EXPECT_FALSE(pass_through_->Windows().ServiceNamed(L"KvxUpx")) << "the driver's service was left behind";
      EXPECT_EQ(pass_through_->Tree().OpenInterfaceFiles(), 0u) << "a camera interface was left open";
    }
    pass_through_ports_.reset();
    pass_through_.reset();
    views_.reset();
    workstation_.reset();
    EXPECT_TRUE(sim::LiveLibusbObjects().AllReleased()) << "a libusb object was left behind";
  }

  static std::string Path(const std::string& file) { return std::string(FCP_SCENARIO_DIR) + "/" + file; }

  sim::Workstation& Workstation() { return *load_.workstation; }
  // The cameras as Linux's UVC driver shows them: a control read that moved no data looks full.
  void SeeCamerasAsLinuxDoes() { views_->Views().VideoInputs().SetEmptyReads(os::EmptyReads::kLookFull); }
  sim::Chip& Chip(const std::string& device = "cam0") { return *Workstation().Find(device)->chip; }

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
  // The devices that vendor requests (either direction, whatever their outcome) were sent to.
  std::set<std::string> VendorRequestTargets() const {
    std::set<std::string> devices;
    for (const auto& line : trace_) {
      std::istringstream fields(line);
      std::string device, setup;
      fields >> device >> setup;
      if (setup.compare(0, 2, "40") == 0 || setup.compare(0, 2, "C0") == 0) devices.insert(device);
    }
    return devices;
  }
  size_t TransferCount() const { return trace_.size(); }
  const std::vector<std::string>& Trace() const { return trace_; }
  // The simulated Windows of the pass-through route (null without it).
  sim::windows::PassThroughViews* PassThrough() { return pass_through_.get(); }

  // Requests a stop from inside the `nth` transfer from now on whose setup packet starts with
  // `setup_prefix` (hex, as in the trace), the way a dialog may while the check waits on the device;
  // with `nth` 0, at once.
  void RequestStopDuring(const std::string& setup_prefix, unsigned nth, std::stop_source stop) {
    stop_ = std::move(stop);
    if (nth == 0) {
      stop_.request_stop();
      transfers_until_stop_ = trace_.size();
      return;
    }
    stop_setup_ = setup_prefix;
    stop_nth_ = nth;
    stop_seen_ = 0;
  }
  size_t TransfersAfterStop() const { return trace_.size() - transfers_until_stop_; }

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
  std::unique_ptr<sim::windows::PassThroughViews> pass_through_;
  std::unique_ptr<sim::windows::ScopedPassThroughPorts> pass_through_ports_;
  std::vector<std::string> trace_;
  std::stop_source stop_{std::nostopstate};
  std::string stop_setup_;
  unsigned stop_nth_ = 0;
  unsigned stop_seen_ = 0;
  size_t transfers_until_stop_ = 0;
};

}  // namespace fcp::repair::testing
