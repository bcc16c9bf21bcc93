// A connection's way over real loopback sockets: every reply a client can be given, and its edge cases.
#include "server/accept_loop.hpp"

#include <winsock2.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "loopback_server.hpp"
#include "protocol/response.hpp"
#include "server/listener.hpp"
#include "support/polling.hpp"

namespace orvanta::test {
namespace {

using namespace std::chrono_literals;
constexpr std::size_t bound = ConnectionLimits{}.max_line_bytes;

std::string failure(const std::string& message) { return encode_response({false, message, std::nullopt}); }

// Every Unicode white-space character but the line feed, which ends the line, as UTF-8.
const std::string all_white_space =
    "\t\v\f\r \xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x81\xE2\x80\x82\xE2\x80\x83\xE2\x80\x84"
    "\xE2\x80\x85\xE2\x80\x86\xE2\x80\x87\xE2\x80\x88\xE2\x80\x89\xE2\x80\x8A\xE2\x80\xA8\xE2\x80\xA9"
    "\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80";

// Pads a status request with spaces to exactly `size` bytes.
std::string padded_status(std::size_t size) {
  std::string text = "{\"cmd\":\"status\"}";
  text.resize(size, ' ');
  return text;
}

const std::string connect_request =
    R"({"cmd":"connect","openvpn":"C:\\OpenVPN\\bin\\openvpn.exe","config":"C:\\vpn\\client.ovpn",)"
    R"("auth":"C:\\vpn\\auth.txt","log":"C:\\vpn\\openvpn.log"})"
    "\n";

struct ReplyCase {
  const char* name;
  std::string request;
  AfterSending after;
  std::string reply;
};

// Over the pipe every row whose request ends in a line feed gets the same bytes. The others rely on the
// end of the client's sending side, which a pipe does not have: there only a line feed ends a line.
TEST(ServeConnection, AnswersEveryRequestWithExactlyOneLine) {
  const LoopbackServer server({}, true);
  const std::vector<ReplyCase> cases = {
      {"status on a fresh service", status_line, AfterSending::KeepOpen, stopped},
      {"no line feed, sending side ended", "{\"cmd\":\"status\"}", AfterSending::EndSendingSide, stopped},
      {"nothing sent", "", AfterSending::EndSendingSide,
       failure("Invalid request JSON: EOF while parsing a value at line 1 column 0")},
      {"white space of every kind around the document",
       all_white_space + "{\"cmd\":\"status\"}" + all_white_space + "\r\n", AfterSending::KeepOpen, stopped},
      {"second line ignored", status_line + "{\"cmd\":\"disconnect\"}\n", AfterSending::KeepOpen, stopped},
      {"two documents on one line", "{\"cmd\":\"status\"}{\"cmd\":\"status\"}\n", AfterSending::KeepOpen,
       failure("Invalid request JSON: trailing characters at line 1 column 17")},
      {"unknown command", "{\"cmd\":\"restart\"}\n", AfterSending::KeepOpen,
       failure("Invalid request JSON: unknown variant `restart`, expected one of `connect`, `disconnect`, "
               "`status`, `state` at line 1 column 16")},
      {"bytes that are not UTF-8", "{\"cmd\":\"status\",\"x\":\"\xFF\xFE\"}\n", AfterSending::KeepOpen,
       failure("Failed to read request: stream did not contain valid UTF-8")},
      {"bytes that are not UTF-8 after the line feed", status_line + "\xFF\xFE\xC0\n", AfterSending::KeepOpen,
       stopped},
      {"line longer than the read buffer",
       "{\"pad\":\"" + std::string(20000, 'x') + "\",\"cmd\":\"status\"}\n", AfterSending::KeepOpen, stopped},
      {"line of exactly the bound", padded_status(bound - 1) + "\n", AfterSending::KeepOpen, stopped},
      {"line over the bound", padded_status(bound + 1), AfterSending::KeepOpen,
       failure("Failed to read request: request line longer than 1048576 bytes")},
      {"disconnect with nothing running", "{\"cmd\":\"disconnect\"}\n", AfterSending::KeepOpen,
       "{\"ok\":true,\"message\":\"OpenVPN stopped\",\"pid\":null}\n"},
      {"connect", connect_request, AfterSending::KeepOpen, started},
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(round_trip(server.port(), c.request, c.after), c.reply);
    if (c.request.ends_with('\n')) {
      EXPECT_EQ(pipe_round_trip(server.pipe_name(), c.request), c.reply) << "over the pipe";
    }
  }
  EXPECT_EQ(server.operations().last_connect(),
            (Connect{"C:\\OpenVPN\\bin\\openvpn.exe", "C:\\vpn\\client.ovpn", "C:\\vpn\\auth.txt",
                     "C:\\vpn\\openvpn.log"}));
  // On the pipe only the client's close ends the stream, never an empty write before the line.
  const UniqueFile client = open_pipe_client_when_free(server.pipe_name());
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(client.get(), "", 0, &written, nullptr)) << GetLastError();
  ASSERT_TRUE(WriteFile(client.get(), status_line.data(), static_cast<DWORD>(status_line.size()), &written,
                        nullptr))
      << GetLastError();
  EXPECT_EQ(read_pipe_line(client.get()), stopped);
}

TEST(ServeConnection, AClientThatClosesBeforeReadingStillHasItsRequestCarriedOut) {
  const LoopbackServer server;
  {
    const UniqueSocket client = connect_client(server.port());
    send_all(client.get(), connect_request);
  }
  (void)eventually([&] { return !server.operations().calls().empty(); }, 20s);
  EXPECT_EQ(server.operations().calls(), std::vector<std::string>{"connect"});
}

// The send deadline bounds the whole reply, not each send: a client that takes its reply in slowly is
// cut off once the deadline has passed, with the rest of the reply not sent. One that never reads is cut
// at the product's own deadline, from outside.
TEST(ServeConnection, AClientThatTakesItsReplyTooSlowlyIsCutOffAtTheSendDeadline) {
  constexpr auto send_timeout = 1000ms;
  const LoopbackServer server(ConnectionLimits{.send_timeout = send_timeout});
  UniqueSocket reader(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  const int small_window = 4096;
  ASSERT_EQ(setsockopt(reader.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small_window),
                       sizeof small_window),
            0);
  const sockaddr_in address = loopback_address(server.port());
  ASSERT_EQ(connect(reader.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  // A top-level string of DEL bytes: its error text spells each one out, megabytes of reply.
  send_all(reader.get(), "\"" + std::string(1000000, '\x7f') + "\"\n");
  std::size_t received = 0;
  char buffer[4096];
  int n = recv(reader.get(), buffer, sizeof buffer, 0);
  const auto first_byte = std::chrono::steady_clock::now();
  const auto since_first_byte = [&] { return std::chrono::steady_clock::now() - first_byte; };
  const auto limit = send_timeout + 1500ms;
  for (; n > 0 && since_first_byte() < limit; n = recv(reader.get(), buffer, sizeof buffer, 0)) {
    std::this_thread::sleep_for(20ms);  // 4 KiB every 20 ms
    received += static_cast<std::size_t>(n);
  }
  const auto cut_after = since_first_byte();
  EXPECT_LE(n, 0) << "still open after " << received << " bytes";
  EXPECT_LT(received, 7000000u) << "the whole reply went out";
  EXPECT_LT(cut_after, limit);
  EXPECT_GE(cut_after, send_timeout - 200ms) << "cut before the deadline";
}

// The time-out bounds the whole line, not each receive: a byte now and then does not extend it.
TEST(ServeConnection, ATricklingClientIsCutOffAtTheDeadline) {
  const LoopbackServer server(ConnectionLimits{.read_timeout = 1000ms});
  const UniqueSocket client = connect_client(server.port());
  for (const char c : status_line) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(client.get(), &readable);
    timeval pause{0, 200'000};
    if (select(0, &readable, nullptr, nullptr, &pause) != 0) {
      break;  // the server has answered (or closed): stop sending
    }
    send_all(client.get(), std::string_view(&c, 1));
  }
  EXPECT_EQ(receive_all(client.get()), timed_out);
}

}  // namespace
}  // namespace orvanta::test
