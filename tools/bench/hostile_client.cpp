// bench_hostile: what hostile clients cost the service (Linux), for `make bench`.
//   bench_hostile lines PORT PID CONNECTIONS LINE_BYTES
//       CONNECTIONS clients at once, each sending one line of LINE_BYTES bytes of tiny array values,
//       ["status",0,0,...], and reading its reply; prints the replies by kind and the peak memory
//       (VmHWM) of process PID against four times the bytes sent plus 64 MiB.
//   bench_hostile lines PORT PID CONNECTIONS LINE_BYTES PEAK_MIB
//       the same, and the peak against PEAK_MIB as well.
//   bench_hostile silent PORT PID CONNECTIONS
//       CONNECTIONS clients at once that send nothing; while they are held open, the most threads
//       process PID had, against its threads before plus 10. The connections are spread over holder
//       processes of at most 1,000 each, so that no one process needs more descriptors than a common
//       default allows.
//   bench_hostile crowd PORT PID SILENT NON_READERS SECONDS
//       SILENT silent clients and NON_READERS clients that each send a malformed line whose reply
//       (over 100 KiB) they never read, each reopened as soon as the server drops it; meanwhile, for
//       SECONDS, a second client asks for the status every 10 ms: its 99th percentile against 100 ms,
//       how often it was turned away, and the threads of PID against its threads before plus 10.
//   bench_hostile trickle PORT PID BYTES_PER_SECOND
//       one client that asks for a reply of about 7 MiB and reads it at BYTES_PER_SECOND: how long
//       after its first byte the server cut it off, against 11 s.
// PID is the Linux process of the server (under Wine, the server's Wine process). Both loads open their
// connections as fast as the server accepts them (see Pacer) and close none before the server has
// answered or closed it; the long-line load sends nothing until every connection is made, then sends
// on all at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "listen_queue.hpp"
#include "proc_status.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using orvanta::bench::mebibyte;
using orvanta::bench::mib;

const char* verdict(bool met) { return met ? "met" : "NOT met"; }

// As many descriptors as the hard limit allows: a load holds one per connection.
void raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &limit);
  }
}

std::size_t descriptor_limit() {
  rlimit limit{};
  return getrlimit(RLIMIT_NOFILE, &limit) == 0 ? static_cast<std::size_t>(limit.rlim_cur) : 1024;
}

// A non-blocking connection under way to 127.0.0.1:PORT; -1 when not even that could be started.
// With a receive buffer, the window the client offers is that small from the start.
int start_connect(std::uint16_t port, int receive_buffer = 0) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  if (receive_buffer > 0) {
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

// Connections are opened as fast as the server takes them in: never more than `most_waiting` wait in
// its listen queue. Past the backlog the server asked for, the kernel turns connections away before
// the server ever sees them (a silent one is never set up on the server's side at all, one that sends
// is reset), and the load would measure the kernel instead of the server.
class Pacer {
 public:
  static constexpr std::uint32_t most_waiting = 64;
  explicit Pacer(std::uint16_t port) : port_(port) {}

  // How many connections may be opened now: none until the next look at the listen queue is due.
  std::size_t room() {
    const Clock::time_point now = Clock::now();
    if (now < next_look_) {
      return 0;
    }
    next_look_ = now + 5ms;
    const auto waiting = orvanta::bench::listen_queue_length(port_);
    if (!waiting) {
      blind_ = true;
      return SIZE_MAX;  // the kernel cannot be asked: all at once, as a plain client would
    }
    return *waiting >= most_waiting ? 0 : most_waiting - *waiting;
  }
  [[nodiscard]] bool blind() const { return blind_; }

 private:
  std::uint16_t port_;
  Clock::time_point next_look_;
  bool blind_ = false;
};

const char* pacing(bool blind) {
  return blind ? "unpaced: the listen queue could not be read"
               : "paced: at most 64 waiting in the listen queue";
}

// A connection of a load once it is set up: its descriptor (-1 when not even the connect could be
// started) and its error (0 once connected).
struct Opened {
  int fd = -1;
  int error = 0;
};

// Opens `count` connections to 127.0.0.1:PORT, paced, and waits until each has connected or failed.
std::vector<Opened> open_paced(std::uint16_t port, std::size_t count, Pacer& pacer) {
  std::vector<Opened> opened;
  std::vector<pollfd> connecting;
  std::vector<std::size_t> connecting_index;
  const Clock::time_point give_up = Clock::now() + 120s;
  while ((opened.size() < count || !connecting.empty()) && Clock::now() < give_up) {
    for (std::size_t room = opened.size() < count ? pacer.room() : 0; room > 0 && opened.size() < count;
         --room) {
      const int fd = start_connect(port);
      opened.push_back({fd, fd < 0 ? errno : 0});
      if (fd >= 0) {
        connecting.push_back({fd, POLLOUT, 0});
        connecting_index.push_back(opened.size() - 1);
      }
    }
    // On loopback the handshake is done at once while the listen queue has room.
    if (poll(connecting.data(), connecting.size(), 5) <= 0) {
      continue;
    }
    for (std::size_t i = connecting.size(); i-- > 0;) {
      if (connecting[i].revents != 0) {
        socklen_t size = sizeof(int);
        getsockopt(connecting[i].fd, SOL_SOCKET, SO_ERROR, &opened[connecting_index[i]].error, &size);
        connecting.erase(connecting.begin() + static_cast<std::ptrdiff_t>(i));
        connecting_index.erase(connecting_index.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
  for (const std::size_t index : connecting_index) {
    opened[index].error = ETIMEDOUT;
  }
  return opened;
}

// ["status",0,0,...] and a line feed, exactly `bytes` long: a valid array, so the whole line is read
// and parsed, and every value is as small as a value can be.
std::string tiny_values_line(std::size_t bytes) {
  std::string line = "[\"status\"";
  const std::string end = "]\n";
  while (line.size() + 2 + end.size() <= bytes) {
    line += ",0";
  }
  if (line.size() + end.size() < bytes) {
    line += ' ';
  }
  return line + end;
}

// One client of the long-line load.
struct LineClient {
  int fd = -1;
  std::size_t sent = 0;
  std::string reply;
  std::optional<std::string> outcome;  // set when the client is done: its reply line, or what happened
  Clock::time_point done_at;
};

// The clients of one kind of outcome: how many, how much each had sent, and when they were done.
struct Kind {
  std::size_t count = 0;
  std::size_t least_sent = SIZE_MAX;
  std::size_t most_sent = 0;
  double first_done = 1e9;
  double last_done = 0;
};

// The kind of one outcome: the reply without its line feed, shortened where it goes on (a parser's
// position, a pid).
std::string kind_of(const std::string& reply) {
  if (reply.empty() || reply.back() != '\n') {
    return reply.empty() ? "(no reply: the connection closed)" : "(part of a reply: " + reply + ")";
  }
  std::string kind = reply.substr(0, reply.size() - 1);
  constexpr std::size_t shown = 110;
  return kind.size() > shown ? kind.substr(0, shown) + "..." : kind;
}

// Connections that never reach the server are turned away by the kernel: its listen queue (the
// backlog the server asked for) was full when they came. The counters are the whole machine's.
void print_listen_overflows(const std::map<std::string, long long>& before,
                            std::map<std::string, long long>& after) {
  const auto grew = [&](const char* name) {
    const auto was = before.find(name);
    return after[name] - (was == before.end() ? 0 : was->second);
  };
  std::printf(
      "  kernel meanwhile (whole machine): listen queue overflowed %lld times, %lld SYN cookies sent\n",
      grew("ListenOverflows"), grew("SyncookiesSent"));
}

int lines_load(std::uint16_t port, int pid, std::size_t connections, std::size_t line_bytes,
               std::optional<std::size_t> peak_mib) {
  raise_descriptor_limit();
  const std::string line = tiny_values_line(line_bytes);
  const auto hwm_before = orvanta::bench::status_bytes(pid, "VmHWM");
  const auto rss_before = orvanta::bench::status_bytes(pid, "VmRSS");
  if (!hwm_before || !rss_before) {
    std::fprintf(stderr, "bench_hostile: no process %d\n", pid);
    return 1;
  }

  const auto tcp_before = orvanta::bench::tcp_counters();
  // First every connection is made, all of them silent; then all send at once, so that the service
  // holds them all while the lines come in. A client stops sending when its reply has come (the
  // server has stopped reading its line by then) and is done when the server closes.
  const Clock::time_point started = Clock::now();
  Pacer pacer(port);
  std::vector<LineClient> clients(connections);
  const std::vector<Opened> opened = open_paced(port, connections, pacer);
  for (std::size_t i = 0; i < connections; ++i) {
    clients[i].fd = i < opened.size() ? opened[i].fd : -1;
    const int error = i < opened.size() ? opened[i].error : ETIMEDOUT;
    if (error != 0) {
      clients[i].outcome = std::string("(could not connect: ") + std::strerror(error) + ")";
      clients[i].done_at = Clock::now();
    }
  }
  const Clock::time_point sending_from = Clock::now();
  const double connect_seconds = std::chrono::duration<double>(sending_from - started).count();
  const Clock::time_point give_up = sending_from + 180s;
  std::vector<pollfd> polled;
  std::vector<LineClient*> polled_clients;
  for (;;) {
    polled.clear();
    polled_clients.clear();
    for (LineClient& client : clients) {
      if (client.outcome) {
        continue;
      }
      const bool sending = client.sent < line.size() && client.reply.find('\n') == std::string::npos;
      polled.push_back({client.fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0});
      polled_clients.push_back(&client);
    }
    if (polled.empty() || Clock::now() > give_up) {
      break;
    }
    if (poll(polled.data(), polled.size(), 1000) < 0 && errno != EINTR) {
      std::perror("bench_hostile: poll");
      return 1;
    }
    for (std::size_t i = 0; i < polled.size(); ++i) {
      LineClient& client = *polled_clients[i];
      const short events = polled[i].revents;
      if ((events & POLLOUT) != 0 && client.sent < line.size() &&
          client.reply.find('\n') == std::string::npos) {
        const ssize_t n = send(client.fd, line.data() + client.sent, line.size() - client.sent, MSG_NOSIGNAL);
        if (n > 0) {
          client.sent += static_cast<std::size_t>(n);
        }
      }
      if ((events & (POLLIN | POLLHUP | POLLERR)) != 0) {
        char buffer[4096];
        const ssize_t n = recv(client.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
          client.reply.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          client.outcome = n == 0 || !client.reply.empty()
                               ? kind_of(client.reply)
                               : std::string("(no reply: ") + std::strerror(errno) + ")";
          client.done_at = Clock::now();
        }
      }
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - sending_from).count();
  // Read before the clients close, while whatever the load left is still there.
  const auto hwm_after = orvanta::bench::status_bytes(pid, "VmHWM");
  const auto rss_after = orvanta::bench::status_bytes(pid, "VmRSS");
  const auto threads_after = orvanta::bench::thread_count(pid);
  auto tcp_after = orvanta::bench::tcp_counters();

  std::map<std::string, Kind> kinds;
  std::size_t sent = 0;
  for (LineClient& client : clients) {
    Kind& kind = kinds[client.outcome.value_or("(no reply within 180 s)")];
    const double done =
        client.outcome ? std::chrono::duration<double>(client.done_at - sending_from).count() : seconds;
    kind.count += 1;
    kind.least_sent = std::min(kind.least_sent, client.sent);
    kind.most_sent = std::max(kind.most_sent, client.sent);
    kind.first_done = std::min(kind.first_done, done);
    kind.last_done = std::max(kind.last_done, done);
    sent += client.sent;
    if (client.fd >= 0) {
      close(client.fd);
    }
  }
  const std::size_t offered = connections * line.size();
  std::printf("%zu connections at once, each one line of %zu bytes of tiny array values\n", connections,
              line.size());
  std::printf("  all connected first, in %.1f s (%s)\n", connect_seconds, pacing(pacer.blind()));
  std::printf("  then all sent at once: %zu of %zu bytes (%.1f MiB); all done %.1f s later\n", sent, offered,
              static_cast<double>(sent) / mebibyte, seconds);
  std::printf("  replies: how many, bytes each had sent, seconds to done, the reply\n");
  for (const auto& [text, kind] : kinds) {
    std::printf("  %6zu  %7zu-%7zu  %4.1f-%4.1f s  %s\n", kind.count, kind.least_sent, kind.most_sent,
                kind.first_done, kind.last_done, text.c_str());
  }
  print_listen_overflows(tcp_before, tcp_after);
  if (!hwm_after || !rss_after) {
    std::printf("  the service's process %d is gone after the load\n", pid);
    std::printf("target peak memory < 4 x sent + 64 MiB:  no figure  NOT met\n");
    return 0;
  }
  std::printf(
      "  service (pid %d) before: VmHWM %.1f MiB, VmRSS %.1f MiB; after: VmHWM %.1f MiB (%+.1f MiB),\n"
      "  VmRSS %.1f MiB, %d threads\n",
      pid, mib(*hwm_before), mib(*rss_before), mib(*hwm_after), mib(*hwm_after - *rss_before),
      mib(*rss_after), threads_after.value_or(0));
  const double target = 4.0 * static_cast<double>(sent) + 64 * mebibyte;
  std::printf("target peak memory (VmHWM) < 4 x sent + 64 MiB = %.1f MiB:  %.1f MiB (%.2fx sent)  %s\n",
              target / mebibyte, mib(*hwm_after), static_cast<double>(*hwm_after) / static_cast<double>(sent),
              verdict(static_cast<double>(*hwm_after) < target));
  if (peak_mib) {
    std::printf("target peak memory (VmHWM) < %zu MiB:  %.1f MiB  %s\n", *peak_mib, mib(*hwm_after),
                verdict(mib(*hwm_after) < static_cast<double>(*peak_mib)));
  }
  return 0;
}

// A holder of silent connections, in a process of its own: it opens its share, paced, says on
// `ready` how many connected and whether the pacing was blind, holds them until `release` ends, then
// says how many had been answered or closed by the server meanwhile, and closes them.
[[noreturn]] void hold_silent_connections(std::uint16_t port, std::size_t count, int ready, int release) {
  raise_descriptor_limit();
  Pacer pacer(port);
  const std::vector<Opened> opened = open_paced(port, count, pacer);
  const auto connected = static_cast<std::size_t>(
      std::ranges::count_if(opened, [](const Opened& connection) { return connection.error == 0; }));
  const std::string said = std::to_string(connected) + " " + (pacer.blind() ? "1" : "0") + "\n";
  (void)!write(ready, said.data(), said.size());
  char ignored = 0;
  while (read(release, &ignored, 1) > 0) {
  }
  // Anything readable by now is the server's answer (a refusal past its cap, a read time-out) or its
  // close.
  std::size_t answered = 0;
  for (const Opened& connection : opened) {
    if (connection.fd < 0) {
      continue;
    }
    char byte = 0;
    answered += connection.error == 0 && (recv(connection.fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK) >= 0 ||
                                          (errno != EAGAIN && errno != EWOULDBLOCK));
    close(connection.fd);
  }
  const std::string answer = std::to_string(answered) + "\n";
  (void)!write(ready, answer.data(), answer.size());
  std::_Exit(0);
}

struct Holder {
  pid_t process = -1;
  int ready = -1;    // what it says
  int release = -1;  // closed to let its connections go
};

// Forks a holder that runs `hold(ready, release)` with its ends of two fresh pipes, closing in the child
// every earlier holder's ends, and adds it to `holders`; false when the pipes cannot be made.
template <typename Hold>
bool start_holder(std::vector<Holder>& holders, const Hold& hold) {
  int ready[2];
  int release[2];
  if (pipe(ready) != 0 || pipe(release) != 0) {
    std::perror("bench_hostile: pipe");
    return false;
  }
  const pid_t child = fork();
  if (child == 0) {
    close(ready[0]);
    close(release[1]);
    for (const Holder& other : holders) {
      close(other.ready);
      close(other.release);
    }
    hold(ready[1], release[0]);
  }
  close(ready[1]);
  close(release[0]);
  holders.push_back({child, ready[0], release[1]});
  return true;
}

// One line from a holder: its numbers, separated by spaces.
std::vector<std::size_t> read_numbers(int fd) {
  std::string text;
  char c = 0;
  while (read(fd, &c, 1) == 1 && c != '\n') {
    text.push_back(c);
  }
  std::vector<std::size_t> numbers;
  for (const char* at = text.c_str(); *at != '\0';) {
    char* end = nullptr;
    numbers.push_back(std::strtoull(at, &end, 10));
    if (end == at) {
      break;
    }
    at = end;
  }
  return numbers;
}

// Lets every holder's connections go and waits for it: the first number each said, added up.
std::size_t release_holders(std::vector<Holder>& holders) {
  std::size_t total = 0;
  for (Holder& holder : holders) {
    close(holder.release);
    const std::vector<std::size_t> said = read_numbers(holder.ready);
    total += said.empty() ? 0 : said[0];
    close(holder.ready);
    waitpid(holder.process, nullptr, 0);
  }
  return total;
}

int silent_load(std::uint16_t port, int pid, std::size_t connections) {
  constexpr std::size_t per_holder = 1000;
  raise_descriptor_limit();
  if (descriptor_limit() < per_holder + 64) {
    std::fprintf(stderr, "bench_hostile: a holder needs %zu descriptors, the limit is %zu\n", per_holder + 64,
                 descriptor_limit());
    return 1;
  }
  const auto threads_before = orvanta::bench::thread_count(pid);
  if (!threads_before) {
    std::fprintf(stderr, "bench_hostile: no process %d\n", pid);
    return 1;
  }
  const auto tcp_before = orvanta::bench::tcp_counters();
  // Sampled all along: while the connections are made, and once they all are, until the service has
  // had 3 s to start more workers and has not, or for 30 s at most.
  const Clock::time_point started = Clock::now();
  int most_threads = *threads_before;
  Clock::time_point peaked_at = started;
  const auto sample = [&] {
    const int threads = orvanta::bench::thread_count(pid).value_or(0);
    if (threads > most_threads) {
      most_threads = threads;
      peaked_at = Clock::now();
    }
  };
  // The holders open their shares one after the other, each paced by the listen queue.
  std::vector<Holder> holders;
  std::size_t connected = 0;
  bool blind = false;
  for (std::size_t first = 0; first < connections; first += per_holder) {
    const std::size_t count = std::min(per_holder, connections - first);
    if (!start_holder(
            holders, [&](int ready, int release) { hold_silent_connections(port, count, ready, release); })) {
      return 1;
    }
    std::vector<pollfd> waiting = {{holders.back().ready, POLLIN, 0}};
    while (poll(waiting.data(), 1, 20) == 0) {
      sample();
    }
    const std::vector<std::size_t> said = read_numbers(holders.back().ready);
    connected += said.empty() ? 0 : said[0];
    blind = blind || (said.size() > 1 && said[1] != 0);
  }
  const double connect_seconds = std::chrono::duration<double>(Clock::now() - started).count();
  const Clock::time_point hold_at_most = Clock::now() + 30s;
  while (Clock::now() - peaked_at < 3s && Clock::now() < hold_at_most) {
    sample();
    std::this_thread::sleep_for(20ms);
  }
  const double peak_seconds = std::chrono::duration<double>(peaked_at - started).count();
  const double held_seconds = std::chrono::duration<double>(Clock::now() - started).count();
  const auto threads_held = orvanta::bench::thread_count(pid);
  const auto resident_held = orvanta::bench::status_bytes(pid, "VmRSS");
  const std::size_t answered = release_holders(holders);
  auto tcp_after = orvanta::bench::tcp_counters();
  std::this_thread::sleep_for(2s);
  const auto threads_after = orvanta::bench::thread_count(pid);

  std::printf("%zu silent connections at once\n", connections);
  std::printf(
      "  %zu connected (%s) within %.1f s, held until %.1f s;\n"
      "  %zu of them answered or closed by the service meanwhile\n",
      connected, pacing(blind), connect_seconds, held_seconds, answered);
  print_listen_overflows(tcp_before, tcp_after);
  std::printf(
      "  service (pid %d) threads: %d before, the most at %.1f s, %d at the end of the hold,\n"
      "  %d two seconds after closing; resident memory (VmRSS) at the end of the hold %.1f MiB\n",
      pid, *threads_before, peak_seconds, threads_held.value_or(0), threads_after.value_or(0),
      mib(resident_held.value_or(0)));
  std::printf("target at most 10 threads above the %d before while held:  %d at most  %s\n", *threads_before,
              most_threads, verdict(most_threads <= *threads_before + 10));
  return 0;
}

// A line the server answers without carrying anything out, with a reply it makes long: a top-level
// string of DEL bytes, whose error text spells each one out in eight bytes.
std::string long_reply_line(std::size_t del_bytes) { return "\"" + std::string(del_bytes, '\x7f') + "\"\n"; }

// One connection of a crowd holder: silent, or sending its line and never reading.
struct CrowdMember {
  int fd = -1;
  std::size_t sent = 0;
};

// A holder of a crowd, in a process of its own: keeps `count` connections open, each silent or
// sending `line` and never reading, and reopens each one the server drops (answers, for a silent
// one; closes, for either), paced, until `release` ends. Says on `ready` once the first `count` are
// open, and at the end how many it reopened.
[[noreturn]] void hold_crowd(std::uint16_t port, std::size_t count, const std::string& line, int ready,
                             int release) {
  raise_descriptor_limit();
  Pacer pacer(port);
  const int window = line.empty() ? 0 : 4096;  // a non-reader's reply stays with the server
  std::vector<CrowdMember> members;
  std::size_t reopened = 0;
  bool said_ready = false;
  std::vector<pollfd> polled;
  for (;;) {
    for (std::size_t room = members.size() < count ? pacer.room() : 0; room > 0 && members.size() < count;
         --room) {
      if (const int fd = start_connect(port, window); fd >= 0) {
        members.push_back({fd, 0});
        reopened += said_ready ? 1 : 0;
      }
    }
    if (!said_ready && members.size() == count) {
      (void)!write(ready, "1\n", 2);
      said_ready = true;
    }
    polled.assign(1, pollfd{release, POLLIN, 0});
    for (const CrowdMember& member : members) {
      const bool sending = member.sent < line.size();
      polled.push_back({member.fd,
                        static_cast<short>(POLLRDHUP | (line.empty() ? POLLIN : 0) | (sending ? POLLOUT : 0)),
                        0});
    }
    if (poll(polled.data(), polled.size(), 20) < 0 && errno != EINTR) {
      std::_Exit(1);
    }
    if (polled[0].revents != 0) {
      break;
    }
    std::vector<CrowdMember> kept;
    for (std::size_t i = 0; i < members.size(); ++i) {
      CrowdMember member = members[i];
      const short events = polled[i + 1].revents;
      if ((events & POLLOUT) != 0) {
        const ssize_t n = send(member.fd, line.data() + member.sent, line.size() - member.sent, MSG_NOSIGNAL);
        member.sent += n > 0 ? static_cast<std::size_t>(n) : 0;
      }
      if ((events & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) != 0) {
        close(member.fd);  // reopened on the next round
      } else {
        kept.push_back(member);
      }
    }
    members.swap(kept);
  }
  for (const CrowdMember& member : members) {
    close(member.fd);
  }
  const std::string answer = std::to_string(reopened) + "\n";
  (void)!write(ready, answer.data(), answer.size());
  std::_Exit(0);
}

// One status exchange on a blocking connection: its reply and how long it took from the connect.
std::pair<std::string, double> status_round_trip(std::uint16_t port) {
  const Clock::time_point began = Clock::now();
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval patience{5, 0};
  (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    const std::string request = "{\"cmd\":\"status\"}\n";
    (void)!send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char buffer[512];
    for (ssize_t n; reply.find('\n') == std::string::npos && (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
      reply.append(buffer, static_cast<std::size_t>(n));
    }
  }
  close(fd);
  return {reply, std::chrono::duration<double, std::milli>(Clock::now() - began).count()};
}

int crowd_load(std::uint16_t port, int pid, std::size_t silent, std::size_t non_readers,
               std::size_t seconds) {
  constexpr std::size_t per_holder = 1000;
  raise_descriptor_limit();
  const auto threads_before = orvanta::bench::thread_count(pid);
  if (!threads_before) {
    std::fprintf(stderr, "bench_hostile: no process %d\n", pid);
    return 1;
  }
  const std::string line = long_reply_line(20000);
  std::vector<Holder> holders;
  const auto start_holders = [&](std::size_t total, const std::string& sent) {
    for (std::size_t first = 0; first < total; first += per_holder) {
      const std::size_t count = std::min(per_holder, total - first);
      if (!start_holder(holders,
                        [&](int ready, int release) { hold_crowd(port, count, sent, ready, release); })) {
        std::exit(1);
      }
      (void)read_numbers(holders.back().ready);
    }
  };
  const auto tcp_before = orvanta::bench::tcp_counters();
  const Clock::time_point started = Clock::now();
  start_holders(silent, "");
  start_holders(non_readers, line);
  const double open_seconds = std::chrono::duration<double>(Clock::now() - started).count();

  std::vector<double> latencies;
  std::map<std::string, std::size_t> others;
  std::size_t turned = 0;
  int most_threads = *threads_before;
  const Clock::time_point until = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < until) {
    const auto [reply, milliseconds] = status_round_trip(port);
    if (reply == "{\"ok\":true,\"message\":\"stopped\",\"pid\":null}\n" ||
        reply.starts_with("{\"ok\":true,\"message\":\"running\"")) {
      latencies.push_back(milliseconds);
    } else if (reply.find("too many connections") != std::string::npos) {
      ++turned;
    } else {
      ++others[kind_of(reply)];
    }
    most_threads = std::max(most_threads, orvanta::bench::thread_count(pid).value_or(0));
    std::this_thread::sleep_for(10ms);
  }
  const auto resident = orvanta::bench::status_bytes(pid, "VmRSS");
  auto tcp_after = orvanta::bench::tcp_counters();
  const std::size_t reopened = release_holders(holders);
  std::sort(latencies.begin(), latencies.end());
  const auto at = [&](std::size_t percent) {
    return latencies.empty() ? 0.0
                             : latencies[std::min(latencies.size() - 1, latencies.size() * percent / 100)];
  };
  std::printf(
      "%zu silent clients and %zu that never read a reply of about %zu KiB, all reopened as dropped\n",
      silent, non_readers, std::size_t{8 * 20000 / 1024});
  std::printf("  opened within %.1f s; %zu reopened during the %zu s of status requests\n", open_seconds,
              reopened, seconds);
  std::printf("  status: %zu answered, median %.1f ms, p99 %.1f ms, worst %.1f ms; %zu turned away\n",
              latencies.size(), at(50), at(99), latencies.empty() ? 0.0 : latencies.back(), turned);
  for (const auto& [text, count] : others) {
    std::printf("  status: %zu times %s\n", count, text.c_str());
  }
  // A connect the kernel drops while the listen queue is full is tried again a second later or more:
  // such waits are the kernel's, and the service never sees them.
  print_listen_overflows(tcp_before, tcp_after);
  std::printf("  service (pid %d): %d threads before, %d at most; resident memory (VmRSS) %.1f MiB\n", pid,
              *threads_before, most_threads, mib(resident.value_or(0)));
  std::printf("target status p99 < 100 ms:  %.1f ms  %s\n", at(99),
              verdict(!latencies.empty() && at(99) < 100));
  std::size_t failed = turned;
  for (const auto& [text, count] : others) {
    failed += count;
  }
  std::printf("target status never turned away or failed:  %zu times  %s\n", failed, verdict(failed == 0));
  std::printf("target at most 10 threads above the %d before:  %d at most  %s\n", *threads_before,
              most_threads, verdict(most_threads <= *threads_before + 10));
  return 0;
}

int trickle_load(std::uint16_t port, std::size_t bytes_per_second) {
  const int fd = start_connect(port, 4096);
  pollfd connecting{fd, POLLOUT, 0};
  if (fd < 0 || poll(&connecting, 1, 10000) != 1) {
    std::fprintf(stderr, "bench_hostile: cannot connect to %u\n", port);
    return 1;
  }
  const std::string line = long_reply_line(1000000);
  std::size_t sent = 0;
  std::size_t received = 0;
  std::optional<Clock::time_point> first_byte;
  constexpr std::size_t piece = 1024;
  const auto pause = std::chrono::microseconds(1000000 * piece / bytes_per_second);
  const Clock::time_point give_up = Clock::now() + 60s;
  std::string ending = "still open after 60 s";
  while (Clock::now() < give_up) {
    pollfd polled{fd, static_cast<short>(POLLIN | (sent < line.size() ? POLLOUT : 0)), 0};
    (void)poll(&polled, 1, 100);
    if ((polled.revents & POLLOUT) != 0) {
      const ssize_t n = send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
      sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    if ((polled.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
      continue;
    }
    char buffer[piece];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      ending = n == 0 ? "closed" : std::string("cut: ") + std::strerror(errno);
      break;
    }
    first_byte = first_byte.value_or(Clock::now());
    received += static_cast<std::size_t>(n);
    std::this_thread::sleep_for(pause);
  }
  close(fd);
  const double after = first_byte ? std::chrono::duration<double>(Clock::now() - *first_byte).count() : 0;
  std::printf(
      "a reader of %zu KiB/s asking for a reply of about 7 MiB: %s %.1f s after its first byte, %zu bytes "
      "read\n",
      bytes_per_second / 1024, ending.c_str(), after, received);
  std::printf("target cut within 11 s:  %.1f s  %s\n", after,
              verdict(first_byte && ending != "still open after 60 s" && after < 11));
  return 0;
}

bool parse(const char* text, std::size_t& value) {
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text, &end, 10);
  value = static_cast<std::size_t>(parsed);
  return end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  std::size_t port = 0;
  std::size_t pid = 0;
  std::size_t connections = 0;
  std::size_t line_bytes = 0;
  const bool common = argc > 4 && parse(argv[2], port) && port > 0 && port < 65536 && parse(argv[3], pid) &&
                      parse(argv[4], connections) && connections > 0;
  if (mode == "lines" && (argc == 6 || argc == 7) && common && parse(argv[5], line_bytes) &&
      line_bytes >= 16) {
    std::size_t peak_mib = 0;
    const bool with_peak = argc == 7 && parse(argv[6], peak_mib);
    return lines_load(static_cast<std::uint16_t>(port), static_cast<int>(pid), connections, line_bytes,
                      with_peak ? std::optional(peak_mib) : std::nullopt);
  }
  if (mode == "silent" && argc == 5 && common) {
    return silent_load(static_cast<std::uint16_t>(port), static_cast<int>(pid), connections);
  }
  std::size_t non_readers = 0;
  std::size_t seconds = 0;
  if (mode == "crowd" && argc == 7 && common && parse(argv[5], non_readers) && parse(argv[6], seconds)) {
    return crowd_load(static_cast<std::uint16_t>(port), static_cast<int>(pid), connections, non_readers,
                      seconds);
  }
  if (mode == "trickle" && argc == 5 && common) {
    return trickle_load(static_cast<std::uint16_t>(port), connections);
  }
  std::fprintf(stderr,
               "usage: bench_hostile lines PORT PID CONNECTIONS LINE_BYTES [PEAK_MIB]\n"
               "       bench_hostile silent PORT PID CONNECTIONS\n"
               "       bench_hostile crowd PORT PID SILENT NON_READERS SECONDS\n"
               "       bench_hostile trickle PORT PID BYTES_PER_SECOND\n");
  return 2;
}
