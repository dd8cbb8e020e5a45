#include "tolmi_gcp/compute/read_ahead.hpp"

#include <algorithm>
#include <stdexcept>
#include <system_error>

#include "tolmi_gcp/internal/in_flight.hpp"

namespace tolmi_gcp {

namespace {

// What makes two reads the same: their method, URL and the answer's form.
std::string keyOf(const Request& request) {
  HttpRequest wire;
  wire.path = request.path();
  wire.query = request.query();
  return request.method() + " " + wire.url() + (request.textAnswer() ? " text" : "");
}

}  // namespace

namespace detail {

Answer InFlight::execute(const ComputeService& service, const Request& request) {
  std::unique_lock lock(mutex_);
  if (depth_ == 0) {
    lock.unlock();
    return service.send(request, *service.transport_);
  }
  auto waiting = request.apiMethod().kind == CallKind::kRead && !waiting_.empty()
                     ? waiting_.find(keyOf(request))
                     : waiting_.end();
  if (waiting == waiting_.end()) return sendHere(lock, service, request);
  Entry& entry = entries_[waiting->second];
  nextToTake_ = std::max(nextToTake_, waiting->second + 1);
  waiting_.erase(waiting);
  changed_.notify_all();  // the senders' window moved on
  if (entry.state == State::kQueued) {
    entry.state = State::kSending;
    return sendHere(lock, service, request);
  }
  // Its warnings come out here, where one read at a time would write them, as they come.
  for (bool done = false; !done;) {
    changed_.wait(lock, [&] { return entry.state == State::kDone || !entry.heldWarnings.empty(); });
    std::vector<std::string> warnings;
    warnings.swap(entry.heldWarnings);
    done = entry.state == State::kDone;
    lock.unlock();
    for (const std::string& warning : warnings) writeRetryWarning(warning);
    lock.lock();
  }
  if (entry.failure) std::rethrow_exception(entry.failure);
  return std::move(*entry.answer);
}

Answer InFlight::sendHere(std::unique_lock<std::mutex>& lock, const ComputeService& service,
                          const Request& request) {
  callerWaiting_ = true;
  changed_.wait(lock, [&] { return sending_ < limit_; });
  callerWaiting_ = false;
  ++sending_;
  lock.unlock();
  struct Release {
    InFlight& self;
    ~Release() {
      std::lock_guard lock(self.mutex_);
      --self.sending_;
      self.changed_.notify_all();
    }
  } release{*this};
  return service.send(request, *service.transport_);
}

bool InFlight::startable() {
  while (nextToStart_ < entries_.size() && entries_[nextToStart_].state != State::kQueued)
    ++nextToStart_;
  // A window ahead of the reads taken bounds the answers held.
  return nextToStart_ < entries_.size() && nextToStart_ < nextToTake_ + 4 * limit_ &&
         sending_ < limit_ && !callerWaiting_;
}

void InFlight::serve(std::shared_ptr<HttpTransport> transport) {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || startable(); });
    if (stopping_) break;
    Entry& entry = entries_[nextToStart_++];
    entry.state = State::kSending;
    ++sending_;
    lock.unlock();
    std::optional<Answer> answer;
    std::exception_ptr failure;
    try {
      SenderTries tries(*this, entry);
      answer = service_->send(entry.request, *transport, &tries);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    --sending_;
    entry.answer = std::move(answer);
    entry.failure = failure;
    entry.state = State::kDone;
    changed_.notify_all();
  }
  spare_.push_back(std::move(transport));
}

void InFlight::SenderTries::hold(std::string warning) {
  std::lock_guard lock(inFlight_.mutex_);
  entry_.heldWarnings.push_back(std::move(warning));
  inFlight_.changed_.notify_all();
}

bool InFlight::SenderTries::waitOut(std::chrono::milliseconds delay) {
  std::unique_lock lock(inFlight_.mutex_);
  return !inFlight_.changed_.wait_for(lock, delay, [this] { return inFlight_.stopping_; });
}

void InFlight::begin(const ComputeService& service, const std::vector<Request>& reads) {
  for (const Request& read : reads)
    if (read.apiMethod().kind != CallKind::kRead)
      throw std::invalid_argument(std::string(read.apiMethod().name) +
                                  " is not a read: only reads are sent ahead");
  std::lock_guard lock(mutex_);
  if (depth_++ == 0) service_ = &service;
  if (limit_ == 1) return;  // nothing goes ahead: each read is sent when it is executed
  for (const Request& read : reads)
    if (waiting_.emplace(keyOf(read), entries_.size()).second)
      entries_.push_back({read, State::kQueued, std::nullopt, nullptr, {}});
  while (limit_ > 1 && !noTwin_ && senders_.size() < std::min(limit_, entries_.size())) {
    std::shared_ptr<HttpTransport> transport;
    if (spare_.empty()) {
      transport = service_->transport_->twin();
    } else {
      transport = std::move(spare_.back());
      spare_.pop_back();
    }
    if (!transport) {
      noTwin_ = true;
      break;
    }
    try {
      senders_.emplace_back(&InFlight::serve, this, transport);
    } catch (const std::system_error&) {
      spare_.push_back(std::move(transport));  // no thread to spare: fewer senders
      break;
    }
  }
  changed_.notify_all();
}

void InFlight::end() {
  std::vector<std::thread> senders;
  {
    std::lock_guard lock(mutex_);
    if (--depth_ > 0) return;
    stopping_ = true;
    senders.swap(senders_);
  }
  changed_.notify_all();
  for (std::thread& sender : senders) sender.join();
  std::lock_guard lock(mutex_);
  stopping_ = false;
  entries_.clear();
  waiting_.clear();
  nextToStart_ = nextToTake_ = 0;
  service_ = nullptr;
}

}  // namespace detail

ReadAhead::ReadAhead(const ComputeService& service, const std::vector<Request>& reads)
    : inFlight_(service.inFlight_) {
  inFlight_->begin(service, reads);
}

ReadAhead::~ReadAhead() { inFlight_->end(); }

}  // namespace tolmi_gcp
