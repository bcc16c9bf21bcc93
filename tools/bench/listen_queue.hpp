// What the Linux kernel says about a loopback listener: how many connections wait in its listen queue
// for the server to accept them, and how often listen queues overflowed.
#pragma once

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

namespace orvanta::bench {

// The connections that the kernel has set up for the TCP listener on 127.0.0.1:PORT and that wait
// for the server's accept (the listener's receive queue, as `ss -lt` shows it); nothing when there is
// no such listener or the kernel cannot be asked.
inline std::optional<std::uint32_t> listen_queue_length(std::uint16_t port) {
  const int diag = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (diag < 0) {
    return std::nullopt;
  }
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } ask{};
  ask.header.nlmsg_len = sizeof ask;
  ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  ask.request.sdiag_family = AF_INET;
  ask.request.sdiag_protocol = IPPROTO_TCP;
  ask.request.idiag_states = 1U << 10;  // TCP_LISTEN
  std::optional<std::uint32_t> queued;
  if (send(diag, &ask, sizeof ask, 0) == static_cast<ssize_t>(sizeof ask)) {
    alignas(nlmsghdr) char buffer[16384];
    bool done = false;
    while (!done) {
      const ssize_t n = recv(diag, buffer, sizeof buffer, 0);
      if (n <= 0) {
        break;
      }
      auto length = static_cast<unsigned int>(n);
      for (auto* message = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(message, length);
           message = NLMSG_NEXT(message, length)) {
        if (message->nlmsg_type == NLMSG_DONE || message->nlmsg_type == NLMSG_ERROR) {
          done = true;
          break;
        }
        const auto* listener = static_cast<const inet_diag_msg*>(NLMSG_DATA(message));
        if (ntohs(listener->id.idiag_sport) == port && listener->id.idiag_src[0] == htonl(INADDR_LOOPBACK)) {
          queued = listener->idiag_rqueue;
        }
      }
    }
  }
  close(diag);
  return queued;
}

// The kernel's TCP counters of the whole machine (/proc/net/netstat, "TcpExt"): how often a listen
// queue overflowed, how many connection requests were answered with cookies, and so on.
inline std::map<std::string, long long> tcp_counters() {
  std::ifstream netstat("/proc/net/netstat");
  std::string names;
  std::string values;
  std::map<std::string, long long> counters;
  while (std::getline(netstat, names) && std::getline(netstat, values)) {
    if (names.rfind("TcpExt:", 0) != 0) {
      continue;
    }
    std::istringstream name_stream(names.substr(7));
    std::istringstream value_stream(values.substr(7));
    std::string name;
    long long value = 0;
    while (name_stream >> name && value_stream >> value) {
      counters[name] = value;
    }
  }
  return counters;
}

}  // namespace orvanta::bench
