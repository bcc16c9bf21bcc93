// bench_hostile: what hostile clients cost the service (Linux), for `make bench`.
//   bench_hostile lines PORT PID CONNECTIONS LINE_BYTES
//       CONNECTIONS clients at once, each sending one line of LINE_BYTES bytes of tiny array values,
//       ["status",0,0,...], and reading its reply; prints the replies by kind and the peak memory
//       (VmHWM) of process PID against four times the bytes sent plus 64 MiB.
//   bench_hostile silent PORT PID CONNECTIONS
//       CONNECTIONS clients at once that send nothing; while they are held open, the most threads
//       process PID had, against 1,100. The connections are spread over holder processes of at most
//       1,000 each, so that no one process needs more descriptors than a common default allows.
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
int start_connect(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
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

int lines_load(std::uint16_t port, int pid, std::size_t connections, std::size_t line_bytes) {
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
    int ready[2];
    int release[2];
    if (pipe(ready) != 0 || pipe(release) != 0) {
      std::perror("bench_hostile: pipe");
      return 1;
    }
    const pid_t child = fork();
    if (child == 0) {
      close(ready[0]);
      close(release[1]);
      for (const Holder& other : holders) {
        close(other.ready);
        close(other.release);
      }
      hold_silent_connections(port, std::min(per_holder, connections - first), ready[1], release[0]);
    }
    close(ready[1]);
    close(release[0]);
    holders.push_back({child, ready[0], release[1]});
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
  std::size_t answered = 0;
  for (Holder& holder : holders) {
    close(holder.release);
    const std::vector<std::size_t> said = read_numbers(holder.ready);
    answered += said.empty() ? 0 : said[0];
    close(holder.ready);
    waitpid(holder.process, nullptr, 0);
  }
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
  std::printf("target at most 1100 threads while held:  %d at most  %s\n", most_threads,
              verdict(most_threads <= 1100));
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
  if (mode == "lines" && argc == 6 && common && parse(argv[5], line_bytes) && line_bytes >= 16) {
    return lines_load(static_cast<std::uint16_t>(port), static_cast<int>(pid), connections, line_bytes);
  }
  if (mode == "silent" && argc == 5 && common) {
    return silent_load(static_cast<std::uint16_t>(port), static_cast<int>(pid), connections);
  }
  std::fprintf(stderr,
               "usage: bench_hostile lines PORT PID CONNECTIONS LINE_BYTES\n"
               "       bench_hostile silent PORT PID CONNECTIONS\n");
  return 2;
}
