#include "cli/progress.hpp"

#include <condition_variable>
#include <ostream>
#include <thread>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp::cli {

namespace {

bool endsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// The operation a ".../operations/NAME/wait" path waits for, or "".
std::string awaitedOperation(std::string_view path) {
  if (!endsWith(path, "/wait")) return "";
  path.remove_suffix(5);
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || !endsWith(path.substr(0, slash), "/operations")) return "";
  return std::string(path.substr(slash + 1));
}

// What kind of change a request makes, or "" for a read or a wait.
std::string changeKind(const HttpRequest& request) {
  const std::string& path = request.path;
  if (request.method == "POST" && endsWith(path, "/removePeering")) return "peering removals";
  if (request.method == "POST" && endsWith(path, "/addPeering")) return "peering creations";
  if (request.method == "POST" && endsWith(path, "/global/routes")) return "route creations";
  if (request.method == "DELETE" && path.find("/global/routes/") != std::string::npos)
    return "route deletions";
  if (request.method == "PATCH" && path.find("/routers/") != std::string::npos)
    return "router patches";
  if (request.method == "GET" || !awaitedOperation(path).empty()) return "";
  return request.method + " " + path;
}

// A text member of a document, or "" when it is absent or not text.
std::string textField(const ResourceDocument& document, std::string_view key) {
  const ResourceDocument& value = memberOrNull(document, key);
  return value.is_string() ? value.get<std::string>() : "";
}

std::string lastTwoSegments(std::string_view link) {
  std::size_t last = link.rfind('/');
  if (last == std::string_view::npos || last == 0) return std::string(link);
  std::size_t before = link.rfind('/', last - 1);
  return std::string(before == std::string_view::npos ? link : link.substr(before + 1));
}

// Calls `onTick` every `tick` on its own thread until destroyed.
class Ticker {
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

}  // namespace

ProgressTransport::ProgressTransport(std::shared_ptr<HttpTransport> inner, std::ostream* terminal,
                                     std::chrono::milliseconds tick)
    : inner_(std::move(inner)), terminal_(terminal), tick_(tick) {}

HttpResponse ProgressTransport::send(const HttpRequest& request) {
  std::string operation = awaitedOperation(request.path);
  if (terminal_ && !operation.empty()) return await(request, operation);
  HttpResponse response = inner_->send(request);
  remember(request, response);
  return response;
}

HttpResponse ProgressTransport::await(const HttpRequest& request, const std::string& operation) {
  auto known = awaited_.find(operation);
  if (known == awaited_.end())
    known =
        awaited_
            .emplace(operation, Awaited{"operation " + operation, std::chrono::steady_clock::now()})
            .first;
  const Awaited awaited = known->second;
  HttpResponse response;
  try {
    Ticker ticker(tick_, [&] { draw(awaited); });
    response = inner_->send(request);
  } catch (...) {
    erase();
    throw;
  }
  // An unfinished answer keeps the line: the library asks again in a moment.
  ResourceDocument body = parseDocumentOrDiscarded(response.body);
  std::string status = textField(body, "status");
  bool unfinished = response.status / 100 == 2 && !status.empty() && status != "DONE";
  if (!unfinished) {
    erase();
    awaited_.erase(operation);
  }
  return response;
}

void ProgressTransport::remember(const HttpRequest& request, const HttpResponse& response) {
  std::string kind = changeKind(request);
  if (kind.empty() || response.status / 100 != 2) return;
  ++changes_[kind];
  if (!terminal_) return;
  // Only global operations are awaited; router patches are not.
  ResourceDocument operation = parseDocumentOrDiscarded(response.body);
  std::string name = textField(operation, "name");
  if (name.empty() ||
      textField(operation, "selfLink").find("/global/operations/") == std::string::npos)
    return;
  std::string what = textField(operation, "operationType") + " " +
                     lastTwoSegments(textField(operation, "targetLink")) + " (" + name + ")";
  awaited_[name] = {what, std::chrono::steady_clock::now()};
}

void ProgressTransport::draw(const Awaited& awaited) {
  auto waited = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                 awaited.since);
  std::lock_guard lock(drawing_);
  *terminal_ << "\r\033[K  waiting for " << awaited.what << ": " << waited.count() << " s"
             << std::flush;
  shown_ = true;
}

void ProgressTransport::erase() {
  std::lock_guard lock(drawing_);
  if (shown_) *terminal_ << "\r\033[K" << std::flush;
  shown_ = false;
}

}  // namespace tolmi_gcp::cli
