// Opening the listener: its mode, and the line written when the port is taken.
#include "server/listener.hpp"

#include <winsock2.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <thread>
#include <vector>

#include "loopback_server.hpp"
#include "support/files.hpp"
#include "support/this_process.hpp"

namespace orvanta::test {
namespace {

// Standard error redirected into a pipe for as long as it lives.
class CapturedStandardError {
 public:
  CapturedStandardError() {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, nullptr, 1 << 16)) {
      ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
      return;
    }
    read_.reset(read);
    write_.reset(write);
    redirected_.emplace(GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE), write);
  }

  // Ends the capture and returns what was written.
  std::string text() {
    redirected_.reset();
    write_.reset();
    return read_to_end(read_.get());
  }

 private:
  UniqueHandle read_;
  UniqueHandle write_;
  std::optional<ScopedStdHandles> redirected_;
};

TEST(OpenListener, WritesTheBindLineWhenThePortIsTaken) {
  const UniqueSocket holder = listening_socket(0);
  ASSERT_TRUE(holder);
  const std::uint16_t port = local_port(holder.get());

  CapturedStandardError captured;
  const auto handles_before = open_handles();
  const auto listener = open_listener(Endpoint{{127, 0, 0, 1}, port}, std::chrono::milliseconds(300));
  const auto handles_after = open_handles();
  const std::string line = captured.text();

  ASSERT_FALSE(listener.has_value());
  EXPECT_EQ(listener.error(), Error::os(10048));
  const std::string text = error_text(Error::os(10048));
  EXPECT_TRUE(text.ends_with(" (os error 10048)")) << text;
  EXPECT_EQ(line, "[orvanta-vpn-helper-windows] failed to bind 127.0.0.1:" + std::to_string(port) + ": " +
                      text + "\n");
  EXPECT_EQ(handles_after, handles_before) << "a socket was left open";
}

TEST(OpenListener, GivesANonBlockingNonInheritableListener) {
  const auto listener = open_listener(any_loopback_port);
  ASSERT_TRUE(listener.has_value());
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(listener->get()), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
  EXPECT_EQ(accept(listener->get(), nullptr, nullptr), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  // Exclusive use: on Windows no other process can take the port over with SO_REUSEADDR (which Wine
  // cannot show, since it follows Linux's rules there).
  BOOL exclusive = FALSE;
  int size = sizeof exclusive;
  ASSERT_EQ(getsockopt(listener->get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<char*>(&exclusive),
                       &size),
            0);
  EXPECT_TRUE(exclusive);
}

// A service restarted at once finds the port it just let go of still taken for a moment.
TEST(OpenListener, TakesAPortThatIsFreedWithinTheRetryTime) {
  UniqueSocket holder = listening_socket(0);
  ASSERT_TRUE(holder);
  const std::uint16_t port = local_port(holder.get());
  std::jthread freeing([&holder] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    holder.reset();
  });
  const auto listener = open_listener(Endpoint{{127, 0, 0, 1}, port}, std::chrono::seconds(3));
  EXPECT_TRUE(listener.has_value()) << error_text(listener.error());
}

}  // namespace
}  // namespace orvanta::test
