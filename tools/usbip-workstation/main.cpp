// usbip-workstation <scenario.json> [--attach-after-ms N] [--save FILE] [--vhci DIR]
//
// Plugs the virtual workstation's USB devices into this machine's own USB stack: every device of
// the scenario (hubs aside: USB/IP carries single devices) is exported over a loopback connection and
// attached to a high-speed port of the kernel's USB/IP host driver (vhci-hcd), so that the kernel
// enumerates it and its drivers (uvcvideo, usbfs) bind as to a real camera. Needs root for the
// attach. FCP_SIM_TRACE receives the wire trace as in every program over the workstation.
//
// Runs until SIGINT or SIGTERM: then the connections close, which the kernel sees as an unplug, and
// with --save the workstation, chip states included, is written as a scenario file.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/scenario.h"
#include "tools/usbip-workstation/usbip_session.h"

namespace {

struct Options {
  std::string scenario;
  std::string save;
  std::string vhci = "/sys/devices/platform/vhci_hcd.0";
  long attach_after_ms = 0;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--save" && has_value) {
      options.save = argv[++i];
    } else if (arg == "--vhci" && has_value) {
      options.vhci = argv[++i];
    } else if (arg == "--attach-after-ms" && has_value) {
      char* end = nullptr;
      options.attach_after_ms = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || options.attach_after_ms < 0) return false;
    } else if (options.scenario.empty() && !arg.starts_with("--")) {
      options.scenario = arg;
    } else {
      return false;
    }
  }
  return !options.scenario.empty();
}

// A connected pair of loopback TCP sockets: vhci-hcd takes a stream socket, and the client end is
// what it reads and writes once attached.
bool LoopbackPair(int& client, int& server, std::string& error) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  client = server = -1;
  bool ok = listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
            ::listen(listener, 1) == 0 &&
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) == 0;
  if (ok) client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ok = ok && client >= 0 && ::connect(client, reinterpret_cast<sockaddr*>(&address), size) == 0;
  if (ok) server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ok = ok && server >= 0;
  if (!ok) error = std::string("loopback connection: ") + std::strerror(errno) + " (is lo up?)";
  if (listener >= 0) ::close(listener);
  return ok;
}

// The first free high-speed port of the host driver, from its status table:
//   hub port sta spd dev      sockfd local_busid
//   hs  0000 004 000 00000000 000000 0-0        (state 4: free)
int FreeHighSpeedPort(const std::string& vhci) {
  std::ifstream status(vhci + "/status");
  for (std::string line; std::getline(status, line);) {
    std::istringstream fields(line);
    std::string hub;
    unsigned port = 0, state = 0;
    if (fields >> hub >> port >> state && hub == "hs" && state == 4) return static_cast<int>(port);
  }
  return -1;
}

bool Attach(const std::string& vhci, int port, int fd, uint32_t devid, std::string& error) {
  std::ofstream attach(vhci + "/attach");
  attach << port << ' ' << fd << ' ' << devid << ' ' << fcp::usbip::kSpeedHigh << std::flush;
  if (!attach) error = "writing " + vhci + "/attach failed (vhci-hcd loaded? running as root?)";
  return static_cast<bool>(attach);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr, "usage: %s <scenario.json> [--attach-after-ms N] [--save FILE] [--vhci DIR]\n", argv[0]);
    return 2;
  }
  const fcp::sim::ScenarioLoad scenario = fcp::sim::LoadScenarioFile(options.scenario);
  if (!scenario.workstation) {
    std::fprintf(stderr, "%s\n", scenario.error.c_str());
    return 2;
  }
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);  // every thread inherits it; main waits for them

  std::this_thread::sleep_for(std::chrono::milliseconds(options.attach_after_ms));

  struct Served {
    std::unique_ptr<fcp::usbip::Session> session;
    int fd;
    std::thread thread;
  };
  std::vector<Served> served;
  int exit_code = 0;
  for (const auto& device : scenario.workstation->ConnectedDevices()) {
    if (device->Kind() == fcp::sim::DeviceKind::kHub) continue;
    std::string error;
    int client = -1, server = -1;
    const std::string bus_id = fcp::usbip::BusIdOf(*device);
    std::unique_ptr<fcp::usbip::Session> session;
    bool ok = LoopbackPair(client, server, error);
    if (ok) {
      session = std::make_unique<fcp::usbip::Session>(scenario.workstation, device, server);
      bool answered = false;
      std::thread server_end([&] { answered = session->AnswerImport(); });
      ok = fcp::usbip::RequestImport(client, bus_id, &error);
      server_end.join();
      ok = ok && answered;
      if (!ok) error = "import handshake failed: " + error;
    }
    int port = -1;
    if (ok) ok = (port = FreeHighSpeedPort(options.vhci)) >= 0 || (error = "no free high-speed port", false);
    if (ok) ok = Attach(options.vhci, port, client, fcp::usbip::DevIdOf(*device), error);
    if (client >= 0) ::close(client);  // once attached the kernel holds its own reference
    if (!ok) {
      std::fprintf(stderr, "%s: %s\n", device->Id().c_str(), error.c_str());
      if (server >= 0) ::close(server);
      exit_code = 1;
      continue;
    }
    std::printf("attached %s (bus ID %s) at port %d\n", device->Id().c_str(), bus_id.c_str(), port);
    std::fflush(stdout);
    Served entry{std::move(session), server, {}};
    entry.thread = std::thread([s = entry.session.get(), server] {
      s->Serve();
      ::shutdown(server, SHUT_RDWR);
    });
    served.push_back(std::move(entry));
  }

  if (!served.empty()) {
    int signal = 0;
    sigwait(&stop_signals, &signal);
  }
  for (auto& entry : served) ::shutdown(entry.fd, SHUT_RDWR);
  for (auto& entry : served) {
    entry.thread.join();
    ::close(entry.fd);
  }
  if (!options.save.empty()) {
    std::string error;
    if (!fcp::sim::SaveScenarioFile(*scenario.workstation, options.save, &error)) {
      std::fprintf(stderr, "could not save the workstation to %s: %s\n", options.save.c_str(), error.c_str());
      exit_code = 1;
    }
  }
  return exit_code;
}
