// One COM reference, released when the holder goes.
#pragma once
#include <unknwn.h>

#include <utility>

namespace fcp::os::win32 {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  explicit ComPtr(T* adopted) : p_(adopted) {}
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      Reset();
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~ComPtr() { Reset(); }

  void Reset() {
    if (p_ != nullptr) std::exchange(p_, nullptr)->Release();
  }
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For out-parameters of COM calls: releases what is held first.
  T** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }

 private:
  T* p_ = nullptr;
};

}  // namespace fcp::os::win32
