// A request server on a loopback port of its own for one test, and the bytes most tests send it.
#pragma once

#include <winsock2.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>

#include "common/handle.hpp"
#include "server/accept_loop.hpp"
#include "server/connection_limits.hpp"
#include "server/endpoint.hpp"
#include "server/listener.hpp"
#include "protocol/response.hpp"
#include "server/pipe_acceptor.hpp"
#include "service/shutdown_flag.hpp"
#include "support/loopback_socket.hpp"
#include "support/pipes.hpp"
#include "support/recording_operations.hpp"

namespace orvanta::test {

// The loopback address on a port the system picks, so tests never collide with each other or with a
// service on 49877.
inline constexpr Endpoint any_loopback_port{{127, 0, 0, 1}, 0};

inline const std::string status_line = "{\"cmd\":\"status\"}\n";
inline const std::string stopped = "{\"ok\":true,\"message\":\"stopped\",\"pid\":null}\n";
inline const std::string started = "{\"ok\":true,\"message\":\"OpenVPN started\",\"pid\":4242}\n";
inline const std::string turned_away =
    encode_response({false, "Failed to start connection worker: too many connections", std::nullopt});
inline const std::string timed_out =
    encode_response({false, "Failed to read request: " + error_text(Error::os(10060)), std::nullopt});

// A listener and an accept loop on its own thread, carrying requests out with recording operations
// unless given others; the destructor stops the loop and closes the listener. With `with_pipe`, the
// same loop also serves a pipe of a name of its own, open to everyone.
class LoopbackServer {
 public:
  explicit LoopbackServer(ConnectionLimits limits = {}, bool with_pipe = false,
                          std::shared_ptr<Operations> served = nullptr) {
    if (with_pipe) {
      auto pipe = PipeAcceptor::make(pipe_name_, {}, nullptr);
      if (!pipe || !(*pipe)->listen()) {
        ADD_FAILURE() << "the pipe could not be made";
        return;
      }
      pipe_ = std::move(*pipe);
    }
    auto listener = open_listener(any_loopback_port);
    if (!listener) {
      ADD_FAILURE() << "open_listener failed: " << error_text(listener.error());
      return;
    }
    listener_ = std::move(*listener);
    port_ = local_port(listener_.get());
    if (!served) {
      served = operations_;
    }
    loop_ = std::async(std::launch::async, [this, limits, served] {
      run_accept_loop(listener_.get(), shutdown_, served, limits, pipe_.get());
    });
  }
  ~LoopbackServer() {
    if (loop_.valid()) {
      (void)stop();
      loop_.wait();
    }
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  [[nodiscard]] std::uint16_t port() const { return port_; }
  [[nodiscard]] const std::u16string& pipe_name() const { return pipe_name_; }
  [[nodiscard]] RecordingOperations& operations() const { return *operations_; }

  // Sets the flag and, once the loop has returned, closes the listener; false when the loop has not
  // returned within `patience`.
  bool stop(std::chrono::seconds patience = std::chrono::seconds(10)) {
    shutdown_.set();
    if (loop_.wait_for(patience) != std::future_status::ready) {
      // A loop that missed the stop still looks at the flag after its next accept.
      (void)connect_client(port_);
      return false;
    }
    listener_.reset();
    return true;
  }

 private:
  std::shared_ptr<RecordingOperations> operations_ = std::make_shared<RecordingOperations>();
  ShutdownFlag shutdown_;
  std::u16string pipe_name_ = fresh_pipe_name();
  std::unique_ptr<PipeAcceptor> pipe_;
  UniqueSocket listener_;
  std::uint16_t port_ = 0;
  std::future<void> loop_;
};

}  // namespace orvanta::test
