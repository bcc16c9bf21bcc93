// A request server on a loopback port of its own for one test, and a client that talks to it.
#pragma once

#include <winsock2.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "common/handle.hpp"
#include "server/connection_limits.hpp"
#include "server/endpoint.hpp"
#include "service/shutdown_flag.hpp"
#include "support/recording_operations.hpp"

namespace orvanta::server_testing {

// The loopback address on a port the system picks, so tests never collide with each other or with a
// service on 49877.
inline constexpr Endpoint any_loopback_port{{127, 0, 0, 1}, 0};

inline const std::string status_line = "{\"cmd\":\"status\"}\n";
inline const std::string stopped = "{\"ok\":true,\"message\":\"stopped\",\"pid\":null}\n";

std::uint16_t local_port(SOCKET socket);

// A listener and an accept loop on its own thread, carrying requests out with recording operations;
// the destructor stops the loop and closes the listener.
class LoopbackServer {
 public:
  explicit LoopbackServer(ConnectionLimits limits = {});
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  [[nodiscard]] std::uint16_t port() const { return port_; }
  [[nodiscard]] const test::RecordingOperations& operations() const { return *operations_; }

 private:
  std::shared_ptr<test::RecordingOperations> operations_ = std::make_shared<test::RecordingOperations>();
  ShutdownFlag shutdown_;
  UniqueSocket listener_;
  std::uint16_t port_ = 0;
  std::thread loop_;
};

// A blocking client connection; its receives give up after `receive_timeout` so that a server that
// never answers fails the test instead of hanging it.
UniqueSocket connect_client(std::uint16_t port,
                            std::chrono::milliseconds receive_timeout = std::chrono::seconds(60));
void send_all(SOCKET socket, std::string_view bytes);
// Everything until the server closes the connection (or a receive fails).
std::string receive_all(SOCKET socket);

enum class AfterSending { KeepOpen, EndSendingSide };

// Connects, sends the bytes, optionally ends the sending side, and returns all that came back.
std::string round_trip(std::uint16_t port, std::string_view request,
                       AfterSending after = AfterSending::KeepOpen);

}  // namespace orvanta::server_testing
