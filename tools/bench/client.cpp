// bench_client: load client for the request server (Linux). Measures, for one server or for ours
// against a bare one:
//   - status round trip (connect, request, reply line) of a client that pauses between requests:
//     median and 99th percentile;
//   - requests per second of 32 clients that send back to back;
// Two servers take turns (request by request, second by second), so both meet the same load from
// the rest of the machine.
//   - wake-ups of the idle server process: the context switches of all its threads over 10 s.
// Usage: bench_client [--requests N] [--pause-ms MS] [--clients N] [--seconds S] [--idle-seconds S]
//                     PORT[:PID] [BARE_PORT[:BARE_PID]]
// Without a PID the wake-ups are not measured.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Settings {
  int requests = 2000;
  int pause_ms = 5;
  int clients = 32;
  int seconds = 5;
  int idle_seconds = 10;
};

struct Target {
  std::string name;
  std::uint16_t port = 0;
  std::optional<int> pid;
};

struct Figures {
  double median_ms = 0;
  double p99_ms = 0;
  double requests_per_second = 0;
  long failures = 0;
  std::optional<long> wake_ups;
  int threads = 0;
};

// One status exchange; the time from connect to the reply's line feed, or nothing on any failure.
std::optional<Clock::duration> round_trip(std::uint16_t port) {
  const Clock::time_point start = Clock::now();
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    return std::nullopt;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::optional<Clock::duration> elapsed;
  static constexpr char request[] = "{\"cmd\":\"status\"}\n";
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
      send(fd, request, sizeof(request) - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof(request) - 1)) {
    std::string reply;
    char buffer[512];
    ssize_t n = 0;
    while ((n = recv(fd, buffer, sizeof(buffer), 0)) > 0) {
      reply.append(buffer, static_cast<std::size_t>(n));
      if (!elapsed && reply.find('\n') != std::string::npos) {
        elapsed = Clock::now() - start;  // then read on to the server's close, untimed
      }
    }
    if (reply.rfind("{\"ok\":", 0) != 0 || reply.find('\n') != reply.size() - 1) {
      elapsed.reset();
    }
  }
  close(fd);
  return elapsed;
}

bool wait_until_serving(std::uint16_t port) {
  const Clock::time_point give_up = Clock::now() + 120s;
  while (Clock::now() < give_up) {
    if (round_trip(port)) {
      return true;
    }
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The targets take turns request by request, so that a change in the machine's load falls on all.
void measure_latency(const std::vector<Target>& targets, const Settings& settings,
                     std::vector<Figures>& figures) {
  for (int i = 0; i < 50; ++i) {
    for (const Target& target : targets) {
      (void)round_trip(target.port);
    }
  }
  std::vector<std::vector<Clock::duration>> samples(targets.size());
  for (int i = 0; i < settings.requests; ++i) {
    for (std::size_t t = 0; t < targets.size(); ++t) {
      if (const auto elapsed = round_trip(targets[t].port)) {
        samples[t].push_back(*elapsed);
      } else {
        ++figures[t].failures;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(settings.pause_ms));
    }
  }
  for (std::size_t t = 0; t < targets.size(); ++t) {
    std::vector<Clock::duration>& sorted = samples[t];
    if (sorted.empty()) {
      continue;
    }
    std::sort(sorted.begin(), sorted.end());
    figures[t].median_ms = milliseconds(sorted[sorted.size() / 2]);
    figures[t].p99_ms = milliseconds(sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)]);
  }
}

// One second of all clients sending back to back to one target: the requests answered and failed.
std::pair<long, long> load_for_one_second(const Target& target, int clients) {
  std::atomic<long> done{0};
  std::atomic<long> failed{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&] {
      while (!go.load()) {
        std::this_thread::yield();
      }
      const Clock::time_point end = Clock::now() + 1s;
      while (Clock::now() < end) {
        (round_trip(target.port) ? done : failed).fetch_add(1);
      }
    });
  }
  go.store(true);
  for (std::thread& thread : threads) {
    thread.join();
  }
  return {done.load(), failed.load()};
}

// The targets take turns second by second, for the same reason as above.
void measure_throughput(const std::vector<Target>& targets, const Settings& settings,
                        std::vector<Figures>& figures) {
  std::vector<long> done(targets.size(), 0);
  for (int second = 0; second < settings.seconds; ++second) {
    for (std::size_t t = 0; t < targets.size(); ++t) {
      const auto [answered, failed] = load_for_one_second(targets[t], settings.clients);
      done[t] += answered;
      figures[t].failures += failed;
    }
  }
  for (std::size_t t = 0; t < targets.size(); ++t) {
    figures[t].requests_per_second = static_cast<double>(done[t]) / settings.seconds;
  }
}

// Voluntary and involuntary context switches of all threads of the process, and how many threads.
std::optional<std::pair<long, int>> context_switches(int pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) {
    return std::nullopt;
  }
  long total = 0;
  int threads = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') {
      continue;
    }
    std::ifstream status(tasks + "/" + entry->d_name + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
          line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
        total += std::strtol(line.c_str() + line.find(':') + 1, nullptr, 10);
      }
    }
    ++threads;
  }
  closedir(dir);
  return std::pair{total, threads};
}

// All targets idle at the same time, over the same seconds.
void measure_idle(std::vector<Target>& targets, const Settings& settings, std::vector<Figures>& figures) {
  std::this_thread::sleep_for(2s);  // let the workers of the load phase end
  std::vector<std::optional<std::pair<long, int>>> before;
  for (const Target& target : targets) {
    before.push_back(target.pid ? context_switches(*target.pid) : std::nullopt);
  }
  std::this_thread::sleep_for(std::chrono::seconds(settings.idle_seconds));
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (!before[i]) {
      continue;
    }
    if (const auto after = context_switches(*targets[i].pid)) {
      figures[i].wake_ups = after->first - before[i]->first;
      figures[i].threads = after->second;
    }
  }
}

bool parse_target(const char* text, const std::string& name, Target& target) {
  char* end = nullptr;
  const long port = std::strtol(text, &end, 10);
  if (port <= 0 || port > 65535) {
    return false;
  }
  target = {name, static_cast<std::uint16_t>(port), std::nullopt};
  if (*end == ':') {
    target.pid = static_cast<int>(std::strtol(end + 1, &end, 10));
  }
  return *end == '\0';
}

std::string load_average() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

void print_row(const char* name, const Figures& f, int idle_seconds) {
  std::printf("%-24s %12.3f %12.3f %14.0f %10ld", name, f.median_ms, f.p99_ms, f.requests_per_second,
              f.failures);
  if (f.wake_ups) {
    std::printf(" %9ld in %d s (%d threads)", *f.wake_ups, idle_seconds, f.threads);
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  std::vector<Target> targets;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    int* option = arg == "--requests"       ? &settings.requests
                  : arg == "--pause-ms"     ? &settings.pause_ms
                  : arg == "--clients"      ? &settings.clients
                  : arg == "--seconds"      ? &settings.seconds
                  : arg == "--idle-seconds" ? &settings.idle_seconds
                                            : nullptr;
    if (option != nullptr && i + 1 < argc) {
      *option = std::atoi(argv[++i]);
      continue;
    }
    Target target;
    if (targets.size() == 2 || !parse_target(argv[i], targets.empty() ? "ours" : "bare", target)) {
      std::fprintf(stderr, "usage: bench_client [options] PORT[:PID] [BARE_PORT[:BARE_PID]]\n");
      return 2;
    }
    targets.push_back(target);
  }
  if (targets.empty() || settings.requests <= 0 || settings.clients <= 0 || settings.seconds <= 0) {
    std::fprintf(stderr, "usage: bench_client [options] PORT[:PID] [BARE_PORT[:BARE_PID]]\n");
    return 2;
  }
  for (const Target& target : targets) {
    if (!wait_until_serving(target.port)) {
      std::fprintf(stderr, "bench_client: nothing answers on port %u\n", target.port);
      return 1;
    }
  }

  std::printf("load average before: %s (%u cores)\n", load_average().c_str(),
              std::thread::hardware_concurrency());
  std::vector<Figures> figures(targets.size());
  measure_latency(targets, settings, figures);
  measure_throughput(targets, settings, figures);
  measure_idle(targets, settings, figures);
  std::printf("load average after:  %s\n\n", load_average().c_str());

  std::printf("latency: %d sequential status requests, %d ms pause; throughput: %d clients for %d s\n",
              settings.requests, settings.pause_ms, settings.clients, settings.seconds);
  std::printf("%-24s %12s %12s %14s %10s %s\n", "server", "median ms", "p99 ms", "requests/s", "failures",
              " wake-ups idle");
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const std::string name = targets[i].name + " (port " + std::to_string(targets[i].port) + ")";
    print_row(name.c_str(), figures[i], settings.idle_seconds);
  }
  if (targets.size() < 2) {
    return 0;
  }
  const Figures& ours = figures[0];
  const Figures& bare = figures[1];
  const double latency_ratio = ours.median_ms / bare.median_ms;
  const double p99_ratio = ours.p99_ms / bare.p99_ms;
  const double throughput_ratio = ours.requests_per_second / bare.requests_per_second;
  std::printf("%-24s %11.2fx %11.2fx %13.2fx\n\n", "ours / bare", latency_ratio, p99_ratio, throughput_ratio);
  const auto verdict = [](bool met) { return met ? "met" : "NOT met"; };
  std::printf("target median latency <= 1.5x bare: %.2fx  %s\n", latency_ratio,
              verdict(latency_ratio <= 1.5));
  std::printf("target p99 latency < 10 ms:         %.3f ms  %s\n", ours.p99_ms, verdict(ours.p99_ms < 10.0));
  std::printf("target throughput >= 0.7x bare:     %.2fx  %s\n", throughput_ratio,
              verdict(throughput_ratio >= 0.7));
  if (ours.wake_ups) {
    std::printf("target <= 5 wake-ups in 10 idle s:  %ld in %d s  %s\n", *ours.wake_ups,
                settings.idle_seconds, verdict(*ours.wake_ups * 10 <= 5L * settings.idle_seconds));
  }
  return 0;
}
