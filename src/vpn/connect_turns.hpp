// Whose connect goes next: the last request wins, and a connect that waits for its turn is a record,
// not a thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "protocol/request.hpp"
#include "protocol/request_turn.hpp"
#include "protocol/response.hpp"

namespace orvanta {

// Shared by every connection worker. A user who clicks "connect" three times, or "connect" and then
// "disconnect", gets what they clicked last, as soon as what runs can give way; nobody waits behind
// requests that the next one would undo anyway.
class ConnectTurns {
 public:
  // Whether a connect or disconnect read after the one being carried out has come since.
  using Superseded = std::function<bool()>;
  // Carries out a connect whose turn has come, on the calling thread. A launch that sees itself
  // superseded before it records its OpenVPN ends that OpenVPN and answers so.
  using Launch = std::function<HelperResponse(const Connect& request, const Superseded& superseded)>;

  explicit ConnectTurns(Launch launch) : launch_(std::move(launch)) {}
  ConnectTurns(const ConnectTurns&) = delete;
  ConnectTurns& operator=(const ConnectTurns&) = delete;

  // A connect read as `turn.order`, which must carry `turn.later`:
  //   1. One read before the latest connect or disconnect is superseded at once.
  //   2. Otherwise it is the latest, and the connect that was waiting, if any, is superseded at once.
  //   3. While another connect launches, it waits as a record: nothing is returned, and its reply goes
  //      to `turn.later` once its turn has come and gone.
  //   4. Otherwise it launches on this thread, and after it, one by one, each connect that came to wait
  //      meanwhile, on this thread too; once one has come to wait, this one's reply goes to
  //      `turn.later` as well, so that it is not held up by the next launch.
  //   A waiting connect whose client has gone when its turn comes is dropped, unanswered.
  //   1 launching; 2 read: 2 waits; 3 read: 2 is superseded, 3 waits; 1 done: 3 launches on 1's thread.
  [[nodiscard]] std::optional<HelperResponse> connect(const Connect& request, const RequestTurn& turn);
  // A disconnect read as `order`: every connect read before it is superseded, the waiting one at once.
  // False when a connect read after it has come already, whose OpenVPN it must then leave alone.
  [[nodiscard]] bool disconnect(std::uint64_t order);

 private:
  struct Waiting {
    Connect request;
    std::uint64_t order = 0;
    std::shared_ptr<LaterReply> later;
  };

  // Launches `request`, then each connect that came to wait meanwhile.
  [[nodiscard]] std::optional<HelperResponse> take_turns(Connect request, std::uint64_t order,
                                                         std::shared_ptr<LaterReply> later);

  const Launch launch_;
  // Guards waiting_ and launching_, and every write of latest_. Taken alone; no reply is sent and no
  // launch runs while it is held.
  std::mutex turns_mutex_;
  std::optional<Waiting> waiting_;  // at most one connect waits
  bool launching_ = false;          // a thread is in take_turns
  // The order of the latest connect or disconnect; a launching connect reads it without the lock, so
  // that a launch can look at it under the record's lock.
  std::atomic<std::uint64_t> latest_{0};
};

}  // namespace orvanta
