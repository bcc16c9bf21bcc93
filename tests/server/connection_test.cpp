// serve_connection over real loopback sockets: every reply a client can be given, and its edge cases.
#include "server/connection.hpp"

#include <winsock2.h>

#include <gtest/gtest.h>

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

struct ReplyCase {
  const char* name;
  std::string request;
  AfterSending after;
  std::string reply;
};

TEST(ServeConnection, AnswersEveryRequestWithExactlyOneLine) {
  const LoopbackServer server;
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
               "`status` at line 1 column 16")},
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
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(round_trip(server.port(), c.request, c.after), c.reply);
  }
}

const std::string connect_request =
    R"({"cmd":"connect","openvpn":"C:\\OpenVPN\\bin\\openvpn.exe","config":"C:\\vpn\\client.ovpn",)"
    R"("auth":"C:\\vpn\\auth.txt","log":"C:\\vpn\\openvpn.log"})"
    "\n";

TEST(ServeConnection, EachRequestReachesItsOperationAndItsReplyGoesBack) {
  const LoopbackServer server;
  EXPECT_EQ(round_trip(server.port(), connect_request),
            "{\"ok\":true,\"message\":\"OpenVPN started\",\"pid\":4242}\n");
  EXPECT_EQ(round_trip(server.port(), status_line), stopped);
  EXPECT_EQ(round_trip(server.port(), "{\"cmd\":\"disconnect\"}\n"),
            "{\"ok\":true,\"message\":\"OpenVPN stopped\",\"pid\":null}\n");
  EXPECT_EQ(server.operations().calls(), (std::vector<std::string>{"connect", "status", "disconnect"}));
  EXPECT_EQ(server.operations().last_connect(),
            (Connect{"C:\\OpenVPN\\bin\\openvpn.exe", "C:\\vpn\\client.ovpn", "C:\\vpn\\auth.txt",
                     "C:\\vpn\\openvpn.log"}));
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

// A worker that cannot get its reply out holds its place among the connections served at once: with
// a cap of one, a second client is turned away until the send deadline has let the first go.
TEST(ServeConnection, AClientThatNeverReadsIsLetGoAtTheSendDeadline) {
  const LoopbackServer server(ConnectionLimits{.max_connections = 1, .send_timeout = 500ms});
  UniqueSocket reader(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  const int small_window = 4096;
  ASSERT_EQ(setsockopt(reader.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small_window),
                       sizeof small_window),
            0);
  const sockaddr_in address = loopback_address(server.port());
  ASSERT_EQ(connect(reader.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  // A top-level string of DEL bytes: its error text spells each one out, megabytes of reply.
  send_all(reader.get(), "\"" + std::string(1000000, '\x7f') + "\"\n");

  const std::string turned_away = failure("Failed to start connection worker: too many connections");
  EXPECT_TRUE(eventually([&] { return round_trip(server.port(), status_line) == turned_away; }));
  EXPECT_TRUE(eventually([&] { return round_trip(server.port(), status_line) == stopped; }))
      << "the worker that cannot send still holds its place";
}

const std::string timed_out = failure("Failed to read request: " + error_text(Error::os(10060)));

TEST(ServeConnection, ASilentClientIsAnsweredWithTheTimeOut) {
  const LoopbackServer server(ConnectionLimits{.read_timeout = 500ms});
  EXPECT_EQ(round_trip(server.port(), "{\"cmd\":"), timed_out);
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

TEST(ReadHandle, IsNotInheritableAndReadsTheSameStream) {
  auto listener = open_listener(any_loopback_port);
  ASSERT_TRUE(listener.has_value());
  u_long blocking = 0;
  ASSERT_EQ(ioctlsocket(listener->get(), FIONBIO, &blocking), 0);
  const UniqueSocket client = connect_client(local_port(listener->get()));
  const UniqueSocket accepted(accept(listener->get(), nullptr, nullptr));
  ASSERT_TRUE(accepted);

  const auto read_handle = make_read_handle(accepted.get());
  ASSERT_TRUE(read_handle.has_value()) << error_text(read_handle.error());
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(read_handle->get()), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);

  send_all(client.get(), "ping");
  char buffer[8] = {};
  EXPECT_EQ(recv(read_handle->get(), buffer, sizeof(buffer), 0), 4);
  EXPECT_EQ(std::string_view(buffer, 4), "ping");
}

}  // namespace
}  // namespace orvanta::test
