#include "cli/progress.hpp"

#include <condition_variable>
#include <ostream>
#include <thread>

#include "tolmi_gcp/resource_link.hpp"

namespace tolmi_gcp::cli {

namespace {

// The operation a wait request waits for: its last parameter.
const std::string& awaitedOperation(const Request& request) { return request.parameters().back(); }

// A text member of a document, or "" when it is absent or not text.
std::string textField(const ResourceDocument& document, std::string_view key) {
  const ResourceDocument& value = memberOrNull(document, key);
  return value.is_string() ? value.get<std::string>() : "";
}

// "networks/spoke-1" of a target link; a line drawn while a change is awaited shows any other
// text as it is rather than stop the run over it.
std::string targetOf(const std::string& link) {
  std::optional<ResourceLink> target = ResourceLink::parse(link);
  return target ? target->collection() + "/" + target->name() : link;
}

}  // namespace

// Calls `onTick` every `tick` on its own thread until destroyed.
class Progress::Ticker {
 public:
  Ticker(std::chrono::milliseconds tick, std::function<void()> onTick)
      : thread_([this, tick, onTick = std::move(onTick)] {
          std::unique_lock lock(mutex_);
          while (!wake_.wait_for(lock, tick, [this] { return stop_; })) onTick();
        }) {}
  ~Ticker() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;  // last: starts once the members above exist
};

Progress::Progress(std::ostream* terminal, std::chrono::milliseconds tick)
    : terminal_(terminal), tick_(tick) {}

Progress::~Progress() = default;

void Progress::onSend(const Request& request) {
  if (!terminal_ || request.apiMethod().kind != CallKind::kWait) return;
  const std::string& operation = awaitedOperation(request);
  auto known = awaited_.find(operation);
  if (known == awaited_.end())
    known =
        awaited_
            .emplace(operation, Awaited{"operation " + operation, std::chrono::steady_clock::now()})
            .first;
  ticker_ = std::make_unique<Ticker>(tick_, [this, awaited = known->second] { draw(awaited); });
}

void Progress::onAnswer(const Request& request, const ResourceDocument& answer) {
  switch (request.apiMethod().kind) {
    case CallKind::kWait: {
      // An unfinished answer keeps the line: the library asks again in a moment.
      std::string status = textField(answer, "status");
      stopWaiting(awaitedOperation(request), status.empty() || status == "DONE");
      break;
    }
    case CallKind::kChange:
      remember(answer);
      break;
    case CallKind::kRead:
      break;
  }
}

void Progress::onFailure(const Request& request, std::string_view) {
  if (request.apiMethod().kind == CallKind::kWait) stopWaiting(awaitedOperation(request), true);
}

void Progress::stopWaiting(const std::string& operation, bool done) {
  ticker_.reset();
  if (!terminal_ || !done) return;
  awaited_.erase(operation);
  std::lock_guard lock(drawing_);
  if (shown_) *terminal_ << "\r\033[K" << std::flush;
  shown_ = false;
}

void Progress::remember(const ResourceDocument& operation) {
  if (!terminal_) return;
  // Every change's operation is awaited, global ones and router patches' regional ones alike.
  std::string name = textField(operation, "name");
  if (name.empty()) return;
  std::string what = textField(operation, "operationType") + " " +
                     targetOf(textField(operation, "targetLink")) + " (" + name + ")";
  awaited_[name] = {what, std::chrono::steady_clock::now()};
}

void Progress::draw(const Awaited& awaited) {
  auto waited = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                 awaited.since);
  std::lock_guard lock(drawing_);
  *terminal_ << "\r\033[K  waiting for " << awaited.what << ": " << waited.count() << " s"
             << std::flush;
  shown_ = true;
}

void OperationTimes::onAnswer(const Request& request, const ResourceDocument& answer) {
  CallKind kind = request.apiMethod().kind;
  if (kind == CallKind::kRead) return;
  std::string name = textField(answer, "name");
  auto now = std::chrono::steady_clock::now();
  std::lock_guard lock(mutex_);
  if (kind == CallKind::kChange && !name.empty()) started_.emplace(name, now);
  if (kind != CallKind::kWait || textField(answer, "status") != "DONE") return;
  auto started = started_.find(awaitedOperation(request));
  if (started == started_.end()) return;
  total_ += now - started->second;
  ++done_;
  started_.erase(started);
}

std::optional<std::chrono::milliseconds> OperationTimes::mean() const {
  std::lock_guard lock(mutex_);
  if (done_ == 0) return std::nullopt;
  return std::chrono::duration_cast<std::chrono::milliseconds>(total_ / done_);
}

}  // namespace tolmi_gcp::cli
