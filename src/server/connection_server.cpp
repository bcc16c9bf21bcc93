// The completion port, its threads, each connection's way from its first byte to its close, and the
// workers that carry out the lines.
#include "server/connection_server.hpp"

#include <windows.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/failure_log.hpp"
#include "common/handle.hpp"
#include "protocol/replies.hpp"
#include "server/request_answer.hpp"
#include "server/request_budget.hpp"
#include "server/request_line.hpp"
#include "server/waiting_pool.hpp"
#include "server/winsock_codes.hpp"

namespace orvanta {

namespace {

using Clock = std::chrono::steady_clock;

// One thread serves the port, and only while there are connections: every connection's record is
// under one lock, so a second thread would only wait for it, and the work per completion is small
// (the parsing and the operations run on workers). An idle service holds no such thread; the one
// there is stays a second after the last connection, so that a client's next request need not
// start it again.
constexpr DWORD port_thread_linger_ms = 1000;
// A worker whose line is done waits as long for the next one before it ends: under a steady stream of
// requests most lines then find a worker waiting, and starting a thread is the dearest step of a
// request under Wine. An idle service holds none. A few are enough to keep a machine's cores busy
// with such short operations; more would only be threads that a burst of lines leaves behind.
constexpr std::chrono::milliseconds worker_linger{1000};
constexpr std::size_t most_lingering_workers = 4;
// How many time-outs are handled before the completions that came meanwhile: a crowd of silent
// connections timing out together must not hold up the others' replies.
constexpr std::size_t expiries_at_once = 32;
constexpr SIZE_T worker_stack_reservation = 2 * 1024 * 1024;
// Replies are encoded and sent piece by piece: an error text that quotes a long request can be
// megabytes, and its encoded form need not be held beside it.
constexpr std::size_t reply_piece_bytes = 64 * 1024;
// How long what a client still sends after its reply is read and dropped, and how much of it.
constexpr std::chrono::milliseconds drain_patience{2000};
constexpr std::size_t drain_bytes = 64 * 1024 * 1024;

// What a completion packet is about.
enum Key : ULONG_PTR {
  key_io = 1,       // an operation of a connection's stream
  key_adopted = 2,  // a connection handed over by the accept loop
  key_reply = 3,    // a worker's reply
  key_wake = 4,     // nothing to do but look again: the loop has ended
};

enum class Phase {
  Reading,   // its line is coming in
  Queued,    // its line is whole and waits for a worker
  Working,   // a worker has it
  Sending,   // its reply is going out
  Draining,  // its reply is out; what the client still sends is dropped
};

struct Connection;
using Pool = WaitingPool<Connection*>;

// One endpoint's pools: the connections waiting for their line or their reply's taking, and those being
// told that they were turned away.
struct Lane {
  explicit Lane(std::size_t capacity) : waiting(capacity), turned_away(capacity) {}
  Pool waiting;
  Pool turned_away;
};

// The one operation under way on a connection; its OVERLAPPED comes back with the completion.
struct Operation {
  OVERLAPPED overlapped{};
  Connection* connection = nullptr;
};

// Guarded by the server's connections mutex, like everything about connections.
struct Connection {
  Connection(std::unique_ptr<Stream> adopted, RequestBudget& budget, const ConnectionLimits& limits)
      : stream(std::move(adopted)),
        charge(&budget, limits.free_line_bytes),
        reader(limits.max_line_bytes, &charge) {
    operation.connection = this;
  }

  Operation operation;
  std::unique_ptr<Stream> stream;
  Phase phase = Phase::Reading;
  // The operation started and not yet completed, if any; its completion says what it did.
  enum class Pending { None, Read, Send } pending = Pending::None;
  // Set once it is to be closed; the stream itself is closed only when nothing is pending on it, since
  // Wine finishes an operation left pending on a closed socket on whatever socket next gets its handle.
  bool closed = false;
  bool at_once = false;               // the close discards what is unsent
  Pool* pool = nullptr;               // the pool it waits in, if any
  Lane* lane = nullptr;               // its endpoint's pools
  Clock::time_point send_deadline{};  // the whole reply's, from its first send
  // Charged as the line comes in, released with the connection: the reply is made from the line.
  BudgetCharge charge;
  RequestLineReader reader;
  std::array<char, receive_buffer_bytes> buffer{};
  // Set once it is known what the client is told; sent as soon as no read is under way.
  std::optional<HelperResponse> reply;
  std::optional<ResponsePieces> pieces;
  std::string_view unsent;  // the rest of the piece being sent
  std::size_t drained = 0;
};

// A line for a worker, with its connection kept alive until the reply is back.
struct Job {
  std::shared_ptr<Connection> connection;
  std::string line;
};

struct Handback {
  std::shared_ptr<Connection> connection;
  HelperResponse reply;
};

HelperResponse too_many_connections() { return replies::worker_failed(Error::fixed("too many connections")); }

void report_worker_failure(const Error& error) {
  report_failure(Failure::WorkerStart, "failed to start connection worker", error_text(error));
}

class Server final : public ConnectionServer, public std::enable_shared_from_this<Server> {
 public:
  Server(UniqueHandle port, std::shared_ptr<Operations> operations, const ConnectionLimits& limits)
      : port_(std::move(port)),
        operations_(std::move(operations)),
        limits_(limits),
        budget_(limits.request_budget_bytes),
        port_lane_(limits.max_waiting),
        pipe_lane_(limits.max_pipe_waiting),
        closing_(limits.max_pipe_waiting) {}

  // Under the connections mutex.
  Result<void> start_port_thread() {
    auto self = std::make_unique<std::shared_ptr<Server>>(shared_from_this());
    const HANDLE thread = CreateThread(nullptr, 0, port_thread_main, self.get(), 0, nullptr);
    if (thread == nullptr) {
      return std::unexpected(Error::os(GetLastError()));
    }
    (void)self.release();
    CloseHandle(thread);
    port_thread_running_ = true;
    return {};
  }

  void adopt(std::unique_ptr<Stream> stream, std::optional<HelperResponse> answer,
             Endpoint endpoint) override {
    if (auto bound = stream->bind_to(port_.get(), key_io); !bound) {
      // Without the port there is no way to answer it: it is closed unanswered, and the failure
      // reported as the one it amounts to.
      report_worker_failure(bound.error());
      stream->close();
      return;
    }
    auto connection = std::make_shared<Connection>(std::move(stream), budget_, limits_);
    connection->reply = std::move(answer);
    connection->lane = endpoint == Endpoint::Pipe ? &pipe_lane_ : &port_lane_;
    Connection* const adopted = connection.get();
    std::unique_lock lock(connections_mutex_);
    if (!port_thread_running_) {
      if (auto started = start_port_thread(); !started) {
        // Nothing could ever read it or answer it: it is closed at once, and the failure reported.
        lock.unlock();
        report_worker_failure(started.error());
        adopted->stream->close();
        return;
      }
    }
    connections_.emplace(adopted, std::move(connection));
    // Begun on a thread of the port, which also owns the reads it starts.
    if (!PostQueuedCompletionStatus(port_.get(), 0, key_adopted, reinterpret_cast<OVERLAPPED*>(adopted))) {
      begin(*adopted);
    }
  }

  void close_when_idle() override {
    const std::scoped_lock lock(connections_mutex_);
    loop_ended_ = true;
    job_queued_.notify_all();  // lingering workers end now
    if (port_thread_running_) {
      // A thread that does not get this still ends when its linger runs out.
      (void)PostQueuedCompletionStatus(port_.get(), 0, key_wake, reinterpret_cast<OVERLAPPED*>(this));
    }
  }

 private:
  static DWORD WINAPI port_thread_main(LPVOID parameter) {
    const std::unique_ptr<std::shared_ptr<Server>> self(static_cast<std::shared_ptr<Server>*>(parameter));
    (*self)->serve_port();
    return 0;
  }

  static DWORD WINAPI worker_main(LPVOID parameter) {
    std::unique_ptr<std::pair<std::shared_ptr<Server>, Job>> start(
        static_cast<std::pair<std::shared_ptr<Server>, Job>*>(parameter));
    const std::shared_ptr<Server> server = std::move(start->first);
    std::optional<Job> job = std::move(start->second);
    start.reset();
    while (job) {
      std::optional<HelperResponse> reply;
      try {
        // The only thing the worker asks of the stream; no one else touches it until the reply is back.
        const auto caller = job->connection->stream->caller();
        reply = caller ? answer_line(std::move(job->line), *server->operations_,
                                     caller->has_value() ? &**caller : nullptr)
                       : unknown_caller(caller.error());
      } catch (const std::bad_alloc&) {
        // Not even the out-of-memory reply could be made.
      }
      server->hand_back(job->connection, std::move(reply));
      job.reset();
      job = server->next_job();
    }
    return 0;
  }

  // --- the port's threads ---

  void serve_port() {
    std::vector<Error> failures;
    for (bool ending = false; !ending;) {
      DWORD timeout = INFINITE;
      {
        const std::scoped_lock lock(connections_mutex_);
        timeout = connections_.empty() ? (loop_ended_ ? 0 : port_thread_linger_ms)
                                       : milliseconds_to_next_deadline();
      }
      DWORD bytes = 0;
      ULONG_PTR key = 0;
      OVERLAPPED* overlapped = nullptr;
      const BOOL dequeued = GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped, timeout);
      const bool timed_out = !dequeued && overlapped == nullptr && GetLastError() == WAIT_TIMEOUT;
      if (!dequeued && overlapped == nullptr && !timed_out) {
        Sleep(50);  // never spin on a port that keeps failing
      }
      {
        const std::scoped_lock lock(connections_mutex_);
        if (overlapped != nullptr && key != key_wake) {
          dispatch(key, overlapped);
        }
        expire(Clock::now());
        // Past the linger, or once the loop has ended, an idle server lets its thread go; the next
        // connection starts another.
        if (connections_.empty() && (loop_ended_ || timed_out)) {
          port_thread_running_ = false;
          ending = true;
        }
        std::swap(failures, failures_);
      }
      // Written outside the lock: a log line may wait for whoever reads standard error.
      for (const Error& failure : failures) {
        report_failure(Failure::WorkerStart, "failed to start connection worker", error_text(failure));
      }
      failures.clear();
    }
  }

  void dispatch(ULONG_PTR key, OVERLAPPED* overlapped) {
    std::unique_ptr<Handback> handback;
    Connection* connection = nullptr;
    if (key == key_reply) {
      handback.reset(reinterpret_cast<Handback*>(overlapped));
      connection = handback->connection.get();
    } else if (key == key_adopted) {
      connection = reinterpret_cast<Connection*>(overlapped);
    } else {
      connection = reinterpret_cast<Operation*>(overlapped)->connection;
    }
    try {
      if (handback) {
        start_reply(*connection, std::move(handback->reply));
      } else if (key == key_adopted) {
        begin(*connection);
      } else {
        completed(*connection, *overlapped);
      }
    } catch (const std::bad_alloc&) {
      // Out of memory for this connection alone: it is closed without a reply.
      if (connections_.contains(connection) && !connection->closed) {
        close(*connection, true);
      }
    }
  }

  void completed(Connection& connection, OVERLAPPED& overlapped) {
    const Connection::Pending completed = std::exchange(connection.pending, Connection::Pending::None);
    if (connection.closed) {
      close_stream(connection);
    } else if (completed == Connection::Pending::Send) {
      sent(connection, connection.stream->outcome(overlapped));
    } else {
      received(connection, connection.stream->outcome(overlapped));
    }
  }

  std::array<Pool*, 5> pools() {
    return {&port_lane_.waiting, &port_lane_.turned_away, &pipe_lane_.waiting, &pipe_lane_.turned_away,
            &closing_};
  }

  DWORD milliseconds_to_next_deadline() {
    std::optional<Clock::time_point> next;
    for (const Pool* pool : pools()) {
      if (const auto other = pool->next_deadline(); other && (!next || *other < *next)) {
        next = other;
      }
    }
    if (!next) {
      return INFINITE;  // nothing to time: an idle server does not wake
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<DWORD>(std::min<long long>(left, INFINITE - 1));
  }

  // --- a connection's way ---

  void begin(Connection& connection) {
    if (connection.reply) {
      start_reply(connection, std::move(*connection.reply));
      return;
    }
    wait_in(connection.lane->waiting, connection, Clock::now() + limits_.read_timeout);
    read_more(connection);
  }

  // Into a pool as its newest; whoever had waited longest there is turned away to make room.
  void wait_in(Pool& pool, Connection& connection, Clock::time_point deadline) {
    connection.pool = &pool;
    if (const auto turned = pool.add(&connection, deadline)) {
      (*turned)->pool = nullptr;
      turn_away(**turned);
    }
  }

  void leave_pool(Connection& connection) {
    if (connection.pool != nullptr) {
      (void)connection.pool->remove(&connection);
      connection.pool = nullptr;
    }
  }

  void read_more(Connection& connection) {
    if (auto started = connection.stream->start_read(connection.buffer, connection.operation.overlapped)) {
      connection.pending = Connection::Pending::Read;
    } else if (connection.phase == Phase::Draining) {
      close(connection);
    } else {
      connection.reader.end(started.error());
      line_ended(connection);
    }
  }

  void received(Connection& connection, const Result<std::size_t>& outcome) {
    if (connection.phase == Phase::Draining) {
      if (!outcome || *outcome == 0 || (connection.drained += *outcome) >= drain_bytes) {
        close(connection);
      } else {
        read_more(connection);
      }
      return;
    }
    if (connection.reply) {
      // Timed out or turned away while the read was under way; the read has been cancelled.
      start_reply(connection, std::move(*connection.reply));
      return;
    }
    if (!outcome) {
      connection.reader.end(outcome.error());
    } else if (*outcome == 0) {
      connection.reader.end();
    } else {
      connection.reader.take(std::string_view(connection.buffer.data(), *outcome));
    }
    if (!connection.reader.done()) {
      read_more(connection);
      return;
    }
    line_ended(connection);
  }

  void line_ended(Connection& connection) {
    Result<std::string> line = std::move(connection.reader).result();
    if (!line) {
      start_reply(connection, replies::read_failed(line.error()));
      return;
    }
    connection.phase = Phase::Queued;
    Job job{connections_.at(&connection), std::move(*line)};
    // Every line already queued has an idle worker of its own on the way when more wait than lines.
    const bool a_worker_waits = idle_workers_ > queued_.size();
    if (a_worker_waits || workers_ >= limits_.max_workers) {
      queued_.push_back(std::move(job));  // it keeps its place and its read deadline in the pool
      if (a_worker_waits) {
        job_queued_.notify_one();
      }
      return;
    }
    start_worker(std::move(job));
  }

  void start_worker(Job job) {
    Connection& connection = *job.connection;
    leave_pool(connection);
    connection.phase = Phase::Working;
    auto start =
        std::make_unique<std::pair<std::shared_ptr<Server>, Job>>(shared_from_this(), std::move(job));
    const HANDLE thread = CreateThread(nullptr, worker_stack_reservation, worker_main, start.get(),
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
      const Error error = Error::os(GetLastError());
      note_worker_failure(error);
      start_reply(connection, replies::worker_failed(error));
      return;
    }
    (void)start.release();  // the worker owns it now
    CloseHandle(thread);
    ++workers_;
  }

  void start_reply(Connection& connection, HelperResponse reply) {
    if (connection.closed) {
      return;
    }
    connection.phase = Phase::Sending;
    connection.reply = std::move(reply);
    if (connection.pending != Connection::Pending::None) {
      // A read is still under way (a time-out, a turn-away): its completion sends the reply.
      connection.stream->cancel();
      return;
    }
    connection.pieces.emplace(*connection.reply, reply_piece_bytes);
    connection.unsent = {};
    // The whole reply has this long from its first send.
    const Clock::time_point deadline = Clock::now() + limits_.send_timeout;
    connection.send_deadline = deadline;
    if (connection.pool != nullptr) {
      connection.pool->reschedule(&connection, deadline);
    } else {
      wait_in(connection.lane->waiting, connection, deadline);
    }
    if (!connection.closed) {
      send_more(connection);
    }
  }

  void send_more(Connection& connection) {
    if (connection.unsent.empty()) {
      connection.unsent = connection.pieces->next();
    }
    if (connection.unsent.empty()) {
      reply_sent(connection);
    } else if (connection.stream->start_send(connection.unsent, connection.operation.overlapped)) {
      connection.pending = Connection::Pending::Send;
    } else {
      close(connection);  // a reply that cannot be written is neither retried nor logged
    }
  }

  void sent(Connection& connection, const Result<std::size_t>& outcome) {
    if (!outcome || *outcome == 0) {
      close(connection);
      return;
    }
    connection.unsent.remove_prefix(std::min(*outcome, connection.unsent.size()));
    send_more(connection);
  }

  void reply_sent(Connection& connection) {
    connection.pieces.reset();
    connection.reply.reset();
    if (connection.stream->awaits_client_close()) {
      // Out of its pool, so that a client who reads its reply and closes late never costs a newcomer
      // its place; the read that ends with the client's close is its last operation.
      connection.phase = Phase::Draining;
      leave_pool(connection);
      wait_in(closing_, connection, connection.send_deadline);
      if (!connection.closed) {
        read_more(connection);
      }
      return;
    }
    if (!connection.stream->has_unread_bytes()) {
      close(connection);  // every ordinary request: nothing to drain
      return;
    }
    // Closing with unread bytes would reset the connection, and a reset can destroy the reply before
    // the client has read it: our side is ended first and what the client still sends is dropped.
    connection.phase = Phase::Draining;
    connection.stream->end_sending();
    if (connection.pool != nullptr) {
      connection.pool->reschedule(&connection, Clock::now() + drain_patience);
    }
    read_more(connection);
  }

  // Made to room for a newer connection.
  void turn_away(Connection& connection) {
    if (connection.phase == Phase::Sending || connection.phase == Phase::Draining) {
      close(connection, true);  // it has had part of its answer; no second one can follow
      return;
    }
    note_worker_failure(Error::fixed("too many connections"));
    unqueue(connection);
    wait_in(connection.lane->turned_away, connection, Clock::now() + limits_.send_timeout);
    start_reply(connection, too_many_connections());
  }

  void expire(Clock::time_point now) {
    for (Pool* pool : pools()) {
      for (Connection* connection : pool->take_expired(now, expiries_at_once)) {
        connection->pool = nullptr;
        timed_out(*connection, *pool);
      }
    }
  }

  void timed_out(Connection& connection, Pool& pool) {
    switch (connection.phase) {
      case Phase::Reading:
        // Its place is kept while the time-out is told.
        wait_in(pool, connection, Clock::now() + limits_.send_timeout);
        start_reply(connection, replies::read_failed(Error::os(wsa_timed_out)));
        break;
      case Phase::Queued:
        note_worker_failure(Error::fixed("too many connections"));
        unqueue(connection);
        wait_in(pool, connection, Clock::now() + limits_.send_timeout);
        start_reply(connection, too_many_connections());
        break;
      case Phase::Sending:
        close(connection, true);  // the whole reply had its time: nothing more is held for it
        break;
      case Phase::Draining:
      case Phase::Working:
        close(connection);
        break;
    }
  }

  void unqueue(Connection& connection) {
    if (connection.phase == Phase::Queued) {
      std::erase_if(queued_, [&](const Job& job) { return job.connection.get() == &connection; });
    }
  }

  void close(Connection& connection, bool at_once = false) {
    leave_pool(connection);
    unqueue(connection);
    connection.closed = true;
    connection.at_once = connection.at_once || at_once;
    if (connection.pending != Connection::Pending::None) {
      connection.stream->cancel();  // closed once the cancelled operation has completed
      return;
    }
    close_stream(connection);
  }

  void close_stream(Connection& connection) {
    if (connection.at_once) {
      connection.stream->close_at_once();
    } else {
      connection.stream->close();
    }
    forget(connection);
  }

  // Its last reference here; a worker or a handback may still hold one.
  void forget(Connection& connection) { connections_.erase(&connection); }

  // --- the workers' side ---

  // The worker's reply goes back to the port's threads, which send it; without one (no memory even
  // to make it) the connection is closed unanswered.
  void hand_back(const std::shared_ptr<Connection>& connection, std::optional<HelperResponse> reply) {
    try {
      if (reply) {
        auto handback = std::make_unique<Handback>();
        handback->connection = connection;
        handback->reply = std::move(*reply);
        if (PostQueuedCompletionStatus(port_.get(), 0, key_reply,
                                       reinterpret_cast<OVERLAPPED*>(handback.get()))) {
          (void)handback.release();
          return;
        }
        const std::scoped_lock lock(connections_mutex_);
        start_reply(*connection, std::move(handback->reply));
        return;
      }
    } catch (const std::bad_alloc&) {
    }
    const std::scoped_lock lock(connections_mutex_);
    if (!connection->closed) {
      close(*connection, true);
    }
  }

  // The next line that waits for a worker, or nothing within the linger, and the worker ends.
  std::optional<Job> next_job() {
    std::unique_lock lock(connections_mutex_);
    if (queued_.empty() && !loop_ended_ && idle_workers_ < most_lingering_workers) {
      ++idle_workers_;
      (void)job_queued_.wait_for(lock, worker_linger, [this] { return !queued_.empty() || loop_ended_; });
      --idle_workers_;
    }
    if (queued_.empty()) {
      --workers_;
      return std::nullopt;
    }
    Job job = std::move(queued_.front());
    queued_.pop_front();
    leave_pool(*job.connection);
    job.connection->phase = Phase::Working;
    return job;
  }

  // Reported by the port's threads once they have let go of the lock; a few are enough, since the
  // reports are rate-limited anyway.
  void note_worker_failure(const Error& error) {
    if (failures_.size() < 4) {
      failures_.push_back(error);
    }
  }

  const UniqueHandle port_;
  const std::shared_ptr<Operations> operations_;
  const ConnectionLimits limits_;
  RequestBudget budget_;  // lock-free

  // Guards every connection's record and everything below; taken alone, never with another lock,
  // and held only for work that does not wait (starting operations, a thread, a close).
  std::mutex connections_mutex_;
  std::unordered_map<Connection*, std::shared_ptr<Connection>> connections_;
  Lane port_lane_;
  Lane pipe_lane_;
  Pool closing_;                  // pipe connections whose reply is out, waiting for their client's close
  std::deque<Job> queued_;        // whole lines waiting for a worker, the oldest first
  std::size_t workers_ = 0;       // started and not yet ended, the idle ones included
  std::size_t idle_workers_ = 0;  // lingering in next_job
  std::condition_variable job_queued_;
  std::vector<Error> failures_;
  bool port_thread_running_ = false;
  bool loop_ended_ = false;
};

}  // namespace

Result<std::shared_ptr<ConnectionServer>> start_connection_server(std::shared_ptr<Operations> operations,
                                                                  const ConnectionLimits& limits) {
  UniqueHandle port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0));
  if (!port) {
    return std::unexpected(Error::os(GetLastError()));
  }
  return std::make_shared<Server>(std::move(port), std::move(operations), limits);
}

}  // namespace orvanta
