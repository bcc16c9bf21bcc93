// The completion port, its threads, each connection's way from its first byte to its close, and the
// workers that carry out the lines.
#include "server/connection_server.hpp"

#include <windows.h>

#include <array>
#include <atomic>
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
#include "protocol/request_turn.hpp"
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
// Workers on their way at once: each starts the next when it arrives, so a few chains in parallel keep
// up with a crowd of long operations (a thousand lines within their read deadline) while no thread
// starts a long run of them.
constexpr std::size_t starts_at_once = 4;
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
  key_park = 5,     // a worker's line whose reply comes later (a connect waiting for its turn)
};

enum class Phase {
  Reading,   // its line is coming in
  Queued,    // its line is whole and waits for a worker
  Working,   // a worker has it
  Parked,    // its reply comes later; no worker, no pool, and a read watches for its client going
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
  // Set once a parked connection's client has gone; read by its LaterReply on any thread.
  std::atomic<bool> client_gone{false};
};

// A line for a worker, with its connection kept alive until the reply is back.
struct Job {
  std::shared_ptr<Connection> connection;
  std::string line;
  std::uint64_t order = 0;  // among all lines read, on either endpoint
};

// A worker's reply (key_reply), or word that it comes later (key_park, without one).
struct Handback {
  std::shared_ptr<Connection> connection;
  std::optional<HelperResponse> reply;
};

HelperResponse too_many_connections() { return replies::worker_failed(Error::fixed("too many connections")); }

void report_worker_failure(const Error& error) {
  report_failure(Failure::WorkerStart, "failed to start connection worker", error_text(error));
}

class ConnectionReply;

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

  // Defined below ConnectionReply, which it makes.
  static DWORD WINAPI worker_main(LPVOID parameter);

  // --- the port's threads ---

  void serve_port() {
    std::vector<Error> failures;
    for (bool ending = false; !ending;) {
      bool start = false;
      DWORD timeout = INFINITE;
      {
        const std::scoped_lock lock(connections_mutex_);
        timeout = connections_.empty() ? (loop_ended_ ? 0 : port_thread_linger_ms)
                  : unwatched_.empty() ? milliseconds_to_next_deadline()
                                       : 0;
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
        } else if (timed_out) {
          watch_parked();
        }
        expire(Clock::now());
        start = std::exchange(worker_due_, false);
        // Past the linger, or once the loop has ended, an idle server lets its thread go; the next
        // connection starts another.
        if (connections_.empty() && (loop_ended_ || timed_out)) {
          port_thread_running_ = false;
          ending = true;
        }
        std::swap(failures, failures_);
      }
      if (start) {
        start_worker();
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
    if (key == key_reply || key == key_park) {
      handback.reset(reinterpret_cast<Handback*>(overlapped));
      connection = handback->connection.get();
    } else if (key == key_adopted) {
      connection = reinterpret_cast<Connection*>(overlapped);
    } else {
      connection = reinterpret_cast<Operation*>(overlapped)->connection;
    }
    try {
      if (key == key_park) {
        parked(*connection);
      } else if (handback && handback->reply) {
        start_reply(*connection, std::move(*handback->reply));
      } else if (handback) {
        if (!connection->closed) {
          close(*connection, true);  // no memory even to make its reply
        }
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
    } else if (connection.phase == Phase::Parked) {
      client_left(connection);
    } else {
      connection.reader.end(started.error());
      line_ended(connection);
    }
  }

  void received(Connection& connection, const Result<std::size_t>& outcome) {
    // On a stream without a half-close (a pipe), reading nothing is a client's empty write: only its
    // close ends the stream, and that comes as an error.
    const bool empty_write = outcome && *outcome == 0 && connection.stream->awaits_client_close();
    if (connection.phase == Phase::Draining) {
      if (empty_write) {
        read_more(connection);
      } else if (!outcome || *outcome == 0 || (connection.drained += *outcome) >= drain_bytes) {
        close(connection);
      } else {
        read_more(connection);
      }
      return;
    }
    if (connection.reply) {
      // Timed out, turned away or answered while the read was under way; the read has been cancelled.
      start_reply(connection, std::move(*connection.reply));
      return;
    }
    if (connection.phase == Phase::Parked) {
      if (!outcome) {
        client_left(connection);
      } else if (*outcome == 0 && !empty_write) {
        // A half-close after the line: the client still waits for its reply, and nothing more can come.
      } else if ((connection.drained += *outcome) < drain_bytes) {
        read_more(connection);  // what it sends after its line is dropped, as after a reply
      }
      return;
    }
    if (empty_write) {
      read_more(connection);
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
    // It keeps its place and its read deadline in the pool until a worker takes it.
    queued_.push_back(Job{connections_.at(&connection), std::move(*line), ++lines_read_});
    worker_due_ = worker_due() || worker_due_;
  }

  // Under the lock, once lines wait: an idle worker is woken, or, while they outnumber the idle
  // workers and those on their way, one more is due, which the caller starts once it has let go of the
  // lock. Workers are started a few at a time, each by the one before it (the first by the port's
  // thread): a thread takes milliseconds to start under Wine, and whoever starts a hundred in a row, or
  // holds the lock while starting one, keeps connections from being accepted, read and answered
  // meanwhile. A worker done with a short line takes the next one, so a burst of short lines needs few
  // threads.
  [[nodiscard]] bool worker_due() {
    if (idle_workers_ > 0) {
      job_queued_.notify_one();
    }
    if (queued_.size() <= idle_workers_ + starting_ || starting_ >= starts_at_once ||
        workers_ >= limits_.max_workers) {
      return false;
    }
    ++starting_;
    ++workers_;
    return true;
  }

  // Without the lock. A thread that cannot start leaves the lines to the workers there are; with none,
  // each waiting line is told why at once.
  void start_worker() {
    std::optional<Error> failed;
    try {
      auto self = std::make_unique<std::shared_ptr<Server>>(shared_from_this());
      const HANDLE thread = CreateThread(nullptr, worker_stack_reservation, worker_main, self.get(),
                                         STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
      if (thread != nullptr) {
        (void)self.release();  // the worker owns it now
        CloseHandle(thread);
        return;
      }
      failed = Error::os(GetLastError());
    } catch (const std::bad_alloc&) {
      failed = Error::fixed("out of memory");
    }
    const std::scoped_lock lock(connections_mutex_);
    --workers_;
    --starting_;
    note_worker_failure(*failed);
    if (workers_ == 0) {
      for (Job& job : std::exchange(queued_, {})) {
        start_reply(*job.connection, replies::worker_failed(*failed));
      }
    }
  }

  // A worker's line whose reply comes later, through its ConnectionReply. It holds no worker and waits
  // in no pool, so nothing turns it away; a read watches for its client going, which drops its request.
  // The read starts once the port has nothing else to do: in a crowd of connects nearly every one is
  // superseded within moments, and a read started and cancelled for each would only slow the crowd.
  void parked(Connection& connection) {
    if (connection.closed || connection.phase != Phase::Working) {
      return;  // its reply came first
    }
    connection.phase = Phase::Parked;
    connection.drained = 0;
    unwatched_.push_back(connections_.at(&connection));
  }

  // Once the port is idle: the parked connections still without their reply start being watched.
  void watch_parked() {
    for (const std::shared_ptr<Connection>& connection : std::exchange(unwatched_, {})) {
      if (!connection->closed && connection->phase == Phase::Parked &&
          connection->pending == Connection::Pending::None) {
        read_more(*connection);
      }
    }
  }

  void client_left(Connection& connection) {
    connection.client_gone = true;
    close(connection, true);
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
      case Phase::Parked:
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
        start_reply(*connection, std::move(*handback->reply));
        return;
      }
    } catch (const std::bad_alloc&) {
    }
    const std::scoped_lock lock(connections_mutex_);
    if (!connection->closed) {
      close(*connection, true);
    }
  }

  // Word that the worker's line is answered later: the port's thread starts watching the connection.
  void park(const std::shared_ptr<Connection>& connection) {
    try {
      auto handback = std::make_unique<Handback>();
      handback->connection = connection;
      if (PostQueuedCompletionStatus(port_.get(), 0, key_park,
                                     reinterpret_cast<OVERLAPPED*>(handback.get()))) {
        (void)handback.release();
        return;
      }
    } catch (const std::bad_alloc&) {
    }
    // Not watched then: it still gets its reply, and its connect is not dropped if its client goes.
    const std::scoped_lock lock(connections_mutex_);
    if (!connection->closed && connection->phase == Phase::Working) {
      connection->phase = Phase::Parked;
    }
  }

  // The next line that waits for a worker, or nothing within the linger, and the worker ends. A worker
  // that has just started says so (`arriving`); `start_next` is set when the worker is to start the next
  // one, the lines still outnumbering the idle workers.
  std::optional<Job> next_job(bool arriving, bool& start_next) {
    std::unique_lock lock(connections_mutex_);
    if (arriving) {
      --starting_;
    }
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
    start_next = worker_due();
    return job;
  }

  // Reported by the port's threads once they have let go of the lock; a few are enough, since the
  // reports are rate-limited anyway.
  void note_worker_failure(const Error& error) {
    if (failures_.size() < 4) {
      failures_.push_back(error);
    }
  }

  friend class ConnectionReply;

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
  Pool closing_;            // pipe connections whose reply is out, waiting for their client's close
  std::deque<Job> queued_;  // whole lines waiting for a worker, the oldest first
  std::vector<std::shared_ptr<Connection>> unwatched_;  // parked, their watching read not yet started
  std::size_t workers_ = 0;                             // started and not yet ended, the idle ones included
  std::size_t idle_workers_ = 0;                        // lingering in next_job
  std::size_t starting_ = 0;  // workers started that have not yet come for their first line
  bool worker_due_ = false;   // the port's thread is to start a worker once it lets go of the lock
  std::condition_variable job_queued_;
  std::vector<Error> failures_;
  std::uint64_t lines_read_ = 0;
  bool port_thread_running_ = false;
  bool loop_ended_ = false;
};

// Where a parked connection's reply goes: back to the port's thread, as a worker's does.
class ConnectionReply final : public LaterReply {
 public:
  ConnectionReply(const std::shared_ptr<Server>& server, std::shared_ptr<Connection> connection)
      : server_(server), connection_(std::move(connection)) {}
  ConnectionReply(const ConnectionReply&) = delete;
  ConnectionReply& operator=(const ConnectionReply&) = delete;
  // Let go of unanswered (its request could not be carried out for want of memory): the connection is
  // closed rather than left to wait for ever, since a parked connection has no deadline.
  ~ConnectionReply() override {
    if (!settled_.exchange(true)) {
      if (const auto server = server_.lock()) {
        server->hand_back(connection_, std::nullopt);
      }
    }
  }

  void send(HelperResponse reply) override {
    if (!settled_.exchange(true)) {
      if (const auto server = server_.lock()) {
        server->hand_back(connection_, std::move(reply));
      }
    }
  }
  bool client_gone() const override { return connection_->client_gone.load(); }
  // The worker made the reply itself and hands it back.
  void answered_here() { settled_ = true; }

 private:
  std::weak_ptr<Server> server_;
  std::shared_ptr<Connection> connection_;
  std::atomic<bool> settled_{false};
};

DWORD WINAPI Server::worker_main(LPVOID parameter) {
  std::unique_ptr<std::shared_ptr<Server>> start(static_cast<std::shared_ptr<Server>*>(parameter));
  const std::shared_ptr<Server> server = std::move(*start);
  start.reset();
  for (bool arriving = true;; arriving = false) {
    bool start_next = false;
    std::optional<Job> job = server->next_job(arriving, start_next);
    if (start_next) {
      server->start_worker();
    }
    if (!job) {
      break;
    }
    std::optional<HelperResponse> reply;
    std::shared_ptr<ConnectionReply> later;
    bool parked = false;
    try {
      later = std::make_shared<ConnectionReply>(server, job->connection);
      // The only thing the worker asks of the stream; no one else touches it until the reply is back.
      Stream& stream = *job->connection->stream;
      reply = answer_line_in_turn(
          std::move(job->line), *server->operations_, [&] { return stream.caller(); },
          RequestTurn{job->order, later});
      parked = !reply;
    } catch (const std::bad_alloc&) {
      // Not even the out-of-memory reply could be made.
    }
    if (parked) {
      server->park(job->connection);
    } else {
      if (later) {
        later->answered_here();
      }
      server->hand_back(job->connection, std::move(reply));
    }
  }
  return 0;
}

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
