// Opening the listener: its mode, and the line written when the port is taken.
#include "server/listener.hpp"

#include <winsock2.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "loopback.hpp"
#include "support/standin_plan.hpp"

namespace orvanta {
namespace {

// Standard error redirected into a pipe for as long as it lives.
class CapturedStandardError {
 public:
  CapturedStandardError() : saved_(GetStdHandle(STD_ERROR_HANDLE)) {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, nullptr, 1 << 16)) {
      ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
      return;
    }
    read_.reset(read);
    write_.reset(write);
    SetStdHandle(STD_ERROR_HANDLE, write);
  }
  ~CapturedStandardError() { SetStdHandle(STD_ERROR_HANDLE, saved_); }

  // Ends the capture and returns what was written.
  std::string text() {
    SetStdHandle(STD_ERROR_HANDLE, saved_);
    write_.reset();
    std::string captured;
    char buffer[512];
    DWORD n = 0;
    while (ReadFile(read_.get(), buffer, sizeof(buffer), &n, nullptr) && n > 0) {
      captured.append(buffer, n);
    }
    return captured;
  }

 private:
  HANDLE saved_;
  UniqueHandle read_;
  UniqueHandle write_;
};

TEST(OpenListener, WritesTheBindLineWhenThePortIsTaken) {
  const UniqueSocket holder(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  ASSERT_TRUE(holder);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(holder.get(), 1), 0);
  const std::uint16_t port = server_testing::local_port(holder.get());

  CapturedStandardError captured;
  const auto handles_before = test::open_handles();
  const auto listener = open_listener(Endpoint{{127, 0, 0, 1}, port});
  const auto handles_after = test::open_handles();
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
  const auto listener = open_listener(server_testing::any_loopback_port);
  ASSERT_TRUE(listener.has_value());
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(listener->get()), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
  EXPECT_EQ(accept(listener->get(), nullptr, nullptr), INVALID_SOCKET);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
}

}  // namespace
}  // namespace orvanta
