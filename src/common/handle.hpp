// Owners for Windows handles: one move-only type per close function, with the empty value in the type.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <utility>

namespace orvanta {

template <class Traits>
class UniqueResource {
 public:
  using value_type = typename Traits::value_type;

  UniqueResource() = default;
  explicit UniqueResource(value_type value) : value_(value) {}
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  ~UniqueResource() { reset(); }

  [[nodiscard]] value_type get() const { return value_; }
  [[nodiscard]] explicit operator bool() const { return value_ != Traits::empty(); }

  // Closes the held value, if any, and takes the new one. The caller's last error survives the close,
  // so that a failure path can still read it afterwards.
  void reset(value_type value = Traits::empty()) {
    if (value_ != Traits::empty()) {
      const DWORD saved = GetLastError();
      Traits::close(value_);
      SetLastError(saved);
    }
    value_ = value;
  }
  [[nodiscard]] value_type release() { return std::exchange(value_, Traits::empty()); }

 private:
  value_type value_ = Traits::empty();
};

// Process, thread, job, event and other kernel handles that are null when empty.
struct KernelHandleTraits {
  using value_type = HANDLE;
  static HANDLE empty() { return nullptr; }
  static void close(HANDLE h) { CloseHandle(h); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

// File handles, which CreateFileW gives as INVALID_HANDLE_VALUE when it fails.
struct FileHandleTraits {
  using value_type = HANDLE;
  static HANDLE empty() { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) { CloseHandle(h); }
};
using UniqueFile = UniqueResource<FileHandleTraits>;

struct SocketTraits {
  using value_type = SOCKET;
  static SOCKET empty() { return INVALID_SOCKET; }
  static void close(SOCKET s) {
    const int saved = WSAGetLastError();
    closesocket(s);
    WSASetLastError(saved);
  }
};
using UniqueSocket = UniqueResource<SocketTraits>;

// Memory the system hands out with LocalAlloc (ConvertStringSidToSidW, the SDDL conversions).
struct LocalMemoryTraits {
  using value_type = HLOCAL;
  static HLOCAL empty() { return nullptr; }
  static void close(HLOCAL memory) { LocalFree(memory); }
};
using UniqueLocalMemory = UniqueResource<LocalMemoryTraits>;

// Registry keys from RegOpenKeyExW and RegCreateKeyExW.
struct RegistryKeyTraits {
  using value_type = HKEY;
  static HKEY empty() { return nullptr; }
  static void close(HKEY key) { RegCloseKey(key); }
};
using UniqueRegistryKey = UniqueResource<RegistryKeyTraits>;

// Event log sources from RegisterEventSourceW.
struct EventSourceTraits {
  using value_type = HANDLE;
  static HANDLE empty() { return nullptr; }
  static void close(HANDLE h) { DeregisterEventSource(h); }
};
using UniqueEventSource = UniqueResource<EventSourceTraits>;

// Handles to the Service Control Manager and to services.
struct ServiceHandleTraits {
  using value_type = SC_HANDLE;
  static SC_HANDLE empty() { return nullptr; }
  static void close(SC_HANDLE h) { CloseServiceHandle(h); }
};
using UniqueServiceHandle = UniqueResource<ServiceHandleTraits>;

}  // namespace orvanta
