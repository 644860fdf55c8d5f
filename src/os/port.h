// Ports: the small interfaces through which portable code reaches the operating system.
// Each port is an abstract class in src/os/<port>.h; the process installs one implementation
// (win32, linux or the virtual workstation) before the device layers run, and tests install fakes.
#pragma once
#include <cassert>

namespace fcp::os {

template <class Port>
Port*& PortSlot() {
  static Port* installed = nullptr;
  return installed;
}

// Installs an implementation (nullptr uninstalls). Returns the previous one.
template <class Port>
Port* InstallPort(Port* implementation) {
  Port* previous = PortSlot<Port>();
  PortSlot<Port>() = implementation;
  return previous;
}

template <class Port>
Port* InstalledPort() {
  return PortSlot<Port>();
}

// Installs an implementation for the life of a scope (tests, the virtual-workstation runner).
template <class Port>
class ScopedPort {
 public:
  explicit ScopedPort(Port* implementation) : previous_(InstallPort(implementation)) {}
  ~ScopedPort() { InstallPort(previous_); }
  ScopedPort(const ScopedPort&) = delete;
  ScopedPort& operator=(const ScopedPort&) = delete;

 private:
  Port* previous_;
};

}  // namespace fcp::os
