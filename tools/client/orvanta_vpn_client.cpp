// A small command-line client for the helper service: sends one request line, prints the reply line.
//
//   orvanta-vpn-client [--port N] [--token-file PATH] status
//   orvanta-vpn-client [--port N] [--token-file PATH] connect OPENVPN CONFIG AUTH LOG
//   orvanta-vpn-client [--port N] [--token-file PATH] disconnect
//   orvanta-vpn-client [--port N] [--token-file PATH] state
//   orvanta-vpn-client [--port N] raw LINE        (LINE is sent as it is, followed by a line feed)
//   orvanta-vpn-client --help | --version
//
// With --pipe (Windows), the request goes over the service's named pipe instead of the port, and only
// once the pipe's server has been found to be the service; otherwise nothing is sent.
//
// When the service requires a client token (an administrator's policy), the client sends the one in
// the token file: PATH, which must be readable, or by default, on Windows, token\client.token in the
// client's own folder, where the package installs the service too, when that file can be read (only
// members of the groups the policy names can).
//
// Exit status: 0 for a reply with "ok":true, 1 for "ok":false, 2 when no reply could be had or the
// command line is wrong; 0 after --help or --version.
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
#include <fcntl.h>
#include <io.h>
using socket_type = SOCKET;
constexpr socket_type no_socket = INVALID_SOCKET;
static int last_socket_error() { return WSAGetLastError(); }
static const char* socket_error_text(int code) {
  return code == WSAECONNREFUSED ? "connection refused" : "socket error";
}
static void close_socket(socket_type s) { closesocket(s); }
#include "client/pipe_client.hpp"
#else
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
using socket_type = int;
constexpr socket_type no_socket = -1;
static int last_socket_error() { return errno; }
static const char* socket_error_text(int code) { return std::strerror(code); }
static void close_socket(socket_type s) { ::close(s); }
#endif

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvanta/version.h"
#include "policy/token_text.hpp"

namespace {

constexpr const char* usage =
    "usage: orvanta-vpn-client [--port N] [--token-file PATH] status\n"
    "       orvanta-vpn-client [--port N] [--token-file PATH] connect OPENVPN CONFIG AUTH LOG\n"
    "       orvanta-vpn-client [--port N] [--token-file PATH] disconnect\n"
    "       orvanta-vpn-client [--port N] [--token-file PATH] state\n"
    "       orvanta-vpn-client [--port N] raw LINE\n"
    "       orvanta-vpn-client --help | --version\n"
    "       (Windows: --pipe before the command sends it over the service's named pipe, not the port)\n";

// The whole file, or nothing when it could not be opened.
std::optional<std::string> read_whole(std::FILE* file) {
  if (file == nullptr) {
    return std::nullopt;
  }
  std::string text;
  char buffer[256];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
    text.append(buffer, n);
  }
  std::fclose(file);
  return text;
}

#ifdef _WIN32
// The token file is opened sharing read, write and delete, so that while this client reads it the
// service can still retire it and write the next token at its next start.
std::FILE* open_shared(HANDLE file) {
  if (file == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
  if (descriptor == -1) {
    CloseHandle(file);
    return nullptr;
  }
  std::FILE* stream = _fdopen(descriptor, "rb");
  if (stream == nullptr) {
    _close(descriptor);
  }
  return stream;
}
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
std::FILE* open_token_file(const std::wstring& path) {
  return open_shared(CreateFileW(path.c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING, 0, nullptr));
}
std::FILE* open_token_file(const std::string& path) {
  return open_shared(CreateFileA(path.c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING, 0, nullptr));
}
#else
std::FILE* open_token_file(const std::string& path) { return std::fopen(path.c_str(), "rb"); }
#endif

// The token file the service writes, beside this executable, when it can be read; the path is the
// system's own, opened as UTF-16 so that any folder name will do.
std::optional<std::string> read_default_token_file() {
#ifdef _WIN32
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) {
      return std::nullopt;
    }
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  path.resize(path.find_last_of(L"\\/") + 1);
  for (const std::string_view part :
       {orvanta::policy::token_folder_name, std::string_view("\\"), orvanta::policy::token_file_name}) {
    path.append(part.begin(), part.end());
  }
  return read_whole(open_token_file(path));
#else
  return std::nullopt;
#endif
}

// The token as the file holds it, without line ends or spaces an editor may have added.
std::string trimmed(std::string text) {
  while (!text.empty() && std::strchr(" \t\r\n", text.back()) != nullptr) {
    text.pop_back();
  }
  return text;
}

std::string request_line(const std::vector<std::string>& words, const std::optional<std::string>& token) {
  const std::string& command = words[0];
  if (command == "raw") {
    return words[1] + "\n";
  }
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("cmd");
  writer.String(command.c_str(), static_cast<rapidjson::SizeType>(command.size()));
  if (command == "connect") {
    const char* fields[] = {"openvpn", "config", "auth", "log"};
    for (std::size_t i = 0; i < 4; ++i) {
      writer.Key(fields[i]);
      writer.String(words[i + 1].c_str(), static_cast<rapidjson::SizeType>(words[i + 1].size()));
    }
  }
  if (token) {
    writer.Key("token");
    writer.String(token->c_str(), static_cast<rapidjson::SizeType>(token->size()));
  }
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}

bool valid_arity(const std::vector<std::string>& words) {
  if (words.empty()) return false;
  const std::string& c = words[0];
  if (c == "status" || c == "disconnect" || c == "state") return words.size() == 1;
  if (c == "connect") return words.size() == 5;
  if (c == "raw") return words.size() == 2;
  return false;
}

// Prints the reply line; the exit status follows its "ok".
int print_reply(const std::string& reply) {
  std::fwrite(reply.data(), 1, reply.size(), stdout);
  if (reply.back() != '\n') std::fputc('\n', stdout);
  return reply.rfind("{\"ok\":true", 0) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long port = 49877;
  std::optional<std::string> token_file;
  bool over_pipe = false;
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    // Asked for, usage and version go to standard output and end the run successfully.
    if (arg == "--help" || arg == "-h") {
      std::fputs(usage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::puts("orvanta-vpn-client " ORVANTA_VERSION_STRING);
      return 0;
    }
    if (arg == "--port" && i + 1 < argc) {
      port = std::strtoul(argv[++i], nullptr, 10);
    } else if (arg == "--pipe") {
      over_pipe = true;
    } else if (arg == "--token-file" && i + 1 < argc) {
      token_file = argv[++i];
    } else {
      words.emplace_back(argv[i]);
    }
  }
  if (!valid_arity(words) || port == 0 || port > 65535) {
    std::fputs(usage, stderr);
    return 2;
  }
#ifndef _WIN32
  if (over_pipe) {
    std::fputs(
        "orvanta-vpn-client: --pipe is for Windows only: the service's named pipe is a Windows endpoint\n",
        stderr);
    return 2;
  }
#endif
  const std::string address = "127.0.0.1:" + std::to_string(port);
  std::optional<std::string> token;
  if (token_file) {
    token = read_whole(open_token_file(*token_file));
    if (!token) {
      std::fprintf(stderr, "orvanta-vpn-client: cannot read the token file %s\n", token_file->c_str());
      return 2;
    }
  } else {
    token = read_default_token_file();  // no token to send where none can be read
  }
  if (token) {
    token = trimmed(std::move(*token));
  }

#ifdef _WIN32
  if (over_pipe) {
    const auto reply = orvanta::client::exchange_over_pipe(request_line(words, token));
    if (!reply) {
      std::fprintf(stderr, "orvanta-vpn-client: %s\n", reply.error().c_str());
      return 2;
    }
    return print_reply(*reply);
  }
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    std::fprintf(stderr, "orvanta-vpn-client: Winsock could not be initialised\n");
    return 2;
  }
#endif
  const socket_type s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == no_socket) {
    std::fprintf(stderr, "orvanta-vpn-client: cannot create a socket (error %d)\n", last_socket_error());
    return 2;
  }
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<unsigned short>(port));
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    const int code = last_socket_error();
    std::fprintf(stderr,
                 "orvanta-vpn-client: nothing is listening on %s: %s (error %d); is the service running?\n",
                 address.c_str(), socket_error_text(code), code);
    close_socket(s);
    return 2;
  }

  const std::string line = request_line(words, token);
  for (std::size_t sent = 0; sent < line.size();) {
    const auto n = send(s, line.data() + sent, static_cast<int>(line.size() - sent), 0);
    if (n <= 0) {
      std::fprintf(stderr, "orvanta-vpn-client: sending to %s failed (error %d)\n", address.c_str(),
                   last_socket_error());
      close_socket(s);
      return 2;
    }
    sent += static_cast<std::size_t>(n);
  }

  std::string reply;
  char buffer[4096];
  for (;;) {
    const auto n = recv(s, buffer, static_cast<int>(sizeof buffer), 0);
    if (n <= 0) break;
    reply.append(buffer, static_cast<std::size_t>(n));
  }
  close_socket(s);
  if (reply.empty()) {
    std::fprintf(stderr, "orvanta-vpn-client: %s closed the connection without a reply\n", address.c_str());
    return 2;
  }
  return print_reply(reply);
}
