#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tolmi_gcp/compute/compute_service.hpp"
#include "tolmi_gcp/internal/tries_ahead.hpp"

namespace tolmi_gcp::detail {

// What a handle and its copies share about reads sent ahead (see ReadAhead): the bound on
// requests on the wire, the reads of the living ReadAhead with their answers, the sender threads,
// and the senders' transports, kept alive from one ReadAhead to the next.
class InFlight {
 public:
  explicit InFlight(std::size_t limit) : limit_(limit) {}

  std::size_t limit() const { return limit_; }

  // ComputeService::execute on the calling thread: a read that waits here is taken, anything else
  // sent through the handle's own transport, within the bound while senders run.
  Answer execute(const ComputeService& service, const Request& request);

  // A ReadAhead beginning (the first gives the service its senders send through) and ending.
  void begin(const ComputeService& service, const std::vector<Request>& reads);
  void end();

 private:
  enum class State { kQueued, kSending, kDone };
  struct Entry {
    Request request;
    State state = State::kQueued;
    std::optional<Answer> answer;
    std::exception_ptr failure;
    std::vector<std::string> heldWarnings;  // written by the calling thread once it takes this
  };
  // An entry's tries on its sender thread: stopped by the end of the last ReadAhead.
  class SenderTries final : public TriesAhead {
   public:
    SenderTries(InFlight& inFlight, Entry& entry) : inFlight_(inFlight), entry_(entry) {}
    void hold(std::string warning) override;
    bool waitOut(std::chrono::milliseconds delay) override;

   private:
    InFlight& inFlight_;
    Entry& entry_;
  };

  void serve(std::shared_ptr<HttpTransport> transport);
  bool startable();
  Answer sendHere(std::unique_lock<std::mutex>& lock, const ComputeService& service,
                  const Request& request);

  const std::size_t limit_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t sending_ = 0;     // requests on the wire, the calling thread's included
  bool callerWaiting_ = false;  // the calling thread goes first to the next free place
  int depth_ = 0;               // ReadAheads living
  const ComputeService* service_ = nullptr;
  std::deque<Entry> entries_;                             // in the order given
  std::unordered_map<std::string, std::size_t> waiting_;  // untaken entries by method and URL
  std::size_t nextToStart_ = 0;
  std::size_t nextToTake_ = 0;  // after the last entry taken: senders stay a window ahead of it
  bool stopping_ = false;       // the last ReadAhead ended: reads not taken are abandoned
  std::vector<std::thread> senders_;
  bool noTwin_ = false;  // the transport gives no twin: the calling thread sends everything
  std::vector<std::shared_ptr<HttpTransport>> spare_;
};

}  // namespace tolmi_gcp::detail
