#include "emulator/connection_loop.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#include "emulator/wire.hpp"

namespace tolmi_gcp::emulator {

namespace {

using std::chrono::steady_clock;

// A request must be whole this long after its first byte (a new connection's first request, after
// the connection opens): a client that stalls part-way is answered 408 and closed.
constexpr auto kRequestTimeout = std::chrono::seconds(5);
// An idle kept-alive connection costs a descriptor and a place in the loop's poll, nothing more.
constexpr auto kKeepAlive = std::chrono::seconds(60);
// A client that takes nothing of its answer for this long is cut off.
constexpr auto kSendTimeout = std::chrono::seconds(5);
// Far above any real request head; a longer one is refused.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;
// Requests answered at once at most; more wait for a worker. Far above the tool's 64 reads in
// flight: an answer delayed by --latency-ms, or a wait held open, keeps its worker meanwhile.
constexpr std::size_t kMaxWorkers = 256;
// After an answer, a worker looks for the connection's next request this long before it hands
// the connection back to the loop: a sequential client sends it within tens of microseconds, and
// waking the loop and then a worker on another core costs more than the whole answer on a
// virtual machine.
constexpr auto kSpinBeforeSleeping = std::chrono::microseconds(100);
// The stock server's pool, used with another httplib.
constexpr int kStockThreads = 32;

std::string addressText(const sockaddr_storage& address, int& port) {
  char text[INET6_ADDRSTRLEN] = {};
  port = 0;
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    port = ntohs(v4.sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    port = ntohs(v6.sin6_port);
  }
  return text;
}

// The value of the first header `name` in a request head; "" when absent. As httplib reads a
// head, lines that do not end in CRLF are skipped.
std::string headerValue(std::string_view head, std::string_view name) {
  std::size_t start = head.find('\n') + 1;
  while (start < head.size()) {
    std::size_t end = head.find('\n', start);
    if (end == std::string_view::npos) break;
    std::string_view line = head.substr(start, end - start);
    start = end + 1;
    if (!line.ends_with('\r') || line.size() <= name.size() || line[name.size()] != ':' ||
        strncasecmp(line.data(), name.data(), name.size()) != 0)
      continue;
    line = line.substr(name.size() + 1, line.size() - name.size() - 2);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    return std::string(line);
  }
  return "";
}

// How much of the first request of a connection's input has arrived.
enum class Arrival {
  partial,
  // Whole, or sure to be refused by httplib's parser however it goes on (a body past the cap, a
  // chunk size that is no number): the parser answers it.
  ready,
  headTooLarge,
};

// Where the first request of a connection's input ends, looked at again as more arrives. It reads
// the input as httplib does: lines up to "\n", the head up to a line of just CRLF, a chunked body
// before a Content-Length, a length as strtoull reads it.
class RequestFraming {
 public:
  Arrival look(std::string_view input, std::size_t maxBody) {
    if (headEnd_ == 0) {
      auto blank = input.find("\n\r\n", scanned_ < 2 ? 0 : scanned_ - 2);
      scanned_ = input.size();
      if (blank == std::string_view::npos)
        return input.size() > kMaxHeadBytes ? Arrival::headTooLarge : Arrival::partial;
      headEnd_ = blank + 3;
      if (headEnd_ > kMaxHeadBytes) return Arrival::headTooLarge;
      std::string_view head = input.substr(0, headEnd_);
      chunked_ = strcasecmp(headerValue(head, "Transfer-Encoding").c_str(), "chunked") == 0;
      length_ = std::strtoull(headerValue(head, "Content-Length").c_str(), nullptr, 10);
      nextChunk_ = headEnd_;
    }
    if (!chunked_)
      return input.size() - headEnd_ >= length_ || length_ > maxBody ? Arrival::ready
                                                                     : Arrival::partial;
    // Past this much the body is over the cap whatever its framing says.
    if (input.size() - headEnd_ > maxBody + kMaxHeadBytes) return Arrival::ready;
    for (;;) {
      auto sizeEnd = input.find('\n', nextChunk_);
      if (sizeEnd == std::string_view::npos) return Arrival::partial;
      std::string sizeLine(input.substr(nextChunk_, sizeEnd - nextChunk_));
      char* digitsEnd = nullptr;
      unsigned long size = std::strtoul(sizeLine.c_str(), &digitsEnd, 16);
      if (digitsEnd == sizeLine.c_str() || size == ULONG_MAX) return Arrival::ready;
      // The last chunk: the line after it ends the body.
      if (size == 0)
        return input.find('\n', sizeEnd + 1) == std::string_view::npos ? Arrival::partial
                                                                       : Arrival::ready;
      if (size > maxBody || sizeEnd + 1 - headEnd_ > maxBody - size) return Arrival::ready;
      std::size_t dataEnd = sizeEnd + 1 + size;
      if (input.size() < dataEnd + 2) return Arrival::partial;
      if (input.substr(dataEnd, 2) != "\r\n") return Arrival::ready;
      nextChunk_ = dataEnd + 2;
    }
  }

 private:
  std::size_t scanned_ = 0;  // how far the head was looked for
  std::size_t headEnd_ = 0;  // 0 until the head is whole
  bool chunked_ = false;
  unsigned long long length_ = 0;  // the Content-Length of a body that is not chunked
  std::size_t nextChunk_ = 0;      // where the next chunk's size line starts
};

// An accepted connection: what it sent that is not answered yet, what of its answer it has not
// taken, and until when it may take to send the rest of a request or take the rest of an answer.
struct Connection {
  Connection(int socket, std::size_t requests, std::size_t maxBody)
      : socket(socket), maxBody(maxBody), requestsLeft(std::max<std::size_t>(requests, 1)) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      remoteIp = addressText(address, remotePort);
    length = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      localIp = addressText(address, localPort);
  }
  ~Connection() {
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Appends what the socket holds, without waiting; at most 1 MiB, so that one sender does not
  // hold up the loop. False once the peer has closed the connection or it failed.
  bool receive() {
    constexpr std::size_t kSlice = 64 * 1024;
    for (int slices = 0; slices < 16; ++slices) {
      std::size_t had = input.size();
      input.resize(had + kSlice);
      ssize_t got = ::recv(socket, input.data() + had, kSlice, MSG_DONTWAIT);
      input.resize(had + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
      if (got == 0) return false;
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
      if (static_cast<std::size_t>(got) < kSlice) return true;
    }
    return true;
  }

  // Sends what the socket takes of the answer written, without waiting; false once the peer is
  // gone.
  bool sendAnswer() {
    while (sent < output.size()) {
      ssize_t wrote =
          ::send(socket, output.data() + sent, output.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (wrote > 0) {
        sent += static_cast<std::size_t>(wrote);
        continue;
      }
      if (wrote < 0 && errno == EINTR) continue;
      return wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
    output.clear();
    sent = 0;
    return true;
  }
  bool sending() const { return !output.empty(); }

  // receive(), and the deadline of a request set by its first byte.
  bool receiveRequest() {
    bool waiting = input.empty();
    bool open = receive();
    if (waiting && !input.empty()) deadline = steady_clock::now() + kRequestTimeout;
    return open;
  }

  Arrival arrival() { return framing.look(input, maxBody); }

  // Answers a request that is not handed over; the connection is to be closed after it. The
  // socket's buffer takes it whole; a peer that does not read loses it.
  void refuse(int status, const std::string& reason, const std::string& message) const {
    HttpResponse answer = errorResponse(status, reason, message);
    std::string text =
        "HTTP/1.1 " + std::to_string(status) + " " + std::string(reasonPhrase(status)) +
        "\r\nContent-Type: application/json; charset=UTF-8\r\nContent-Length: " +
        std::to_string(answer.body.size()) + "\r\nConnection: close\r\n\r\n" + answer.body;
    ::send(socket, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  }

  const int socket;
  const std::size_t maxBody;
  std::size_t requestsLeft;
  std::string remoteIp, localIp;
  int remotePort = 0, localPort = 0;
  std::string input;
  RequestFraming framing;
  std::string output;  // an answer not all sent: the client has not taken it yet
  std::size_t sent = 0;
  bool closing = false;  // the connection ends once its answer is sent
  steady_clock::time_point deadline = steady_clock::now() + kRequestTimeout;
};

// Whether `socket` has something to read (or has ended) before `deadline`.
bool readableBefore(int socket, steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd entry{socket, POLLIN, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
    if (ready >= 0 || errno != EINTR) return ready > 0;
  }
}

// httplib's view of a connection while a worker answers its request. Reads come from what the loop
// received (a request handed over before it is whole reads the rest from the socket, until the
// request's deadline). The answer is held until it is whole, then sent in one write (the loop
// sends what the client does not take at once): the stock stream sends headers and body apart,
// which costs the client an extra wake-up per answer.
class ConnectionStream final : public httplib::Stream {
 public:
  explicit ConnectionStream(Connection& connection) : connection_(connection) {}

  bool is_readable() const override {
    return read_ < connection_.input.size() ||
           readableBefore(connection_.socket, connection_.deadline);
  }
  // Writes only fill the pending answer.
  bool is_writable() const override { return true; }

  ssize_t read(char* into, size_t size) override {
    std::string& input = connection_.input;
    if (read_ == input.size()) {
      // All of it is read: only what comes next is kept, however long the body.
      input.clear();
      read_ = 0;
      if (!receiveBeforeDeadline()) return -1;
    }
    std::size_t taken = std::min(size, input.size() - read_);
    std::memcpy(into, input.data() + read_, taken);
    read_ += taken;
    return static_cast<ssize_t>(taken);
  }

  ssize_t write(const char* data, size_t size) override {
    connection_.output.append(data, size);
    return static_cast<ssize_t>(size);
  }

  // How much of the connection's input the request took.
  std::size_t consumed() const { return read_; }

  // Whether the answer written says that the connection ends with it.
  bool answerCloses() const {
    std::string_view output = connection_.output;
    return output.substr(0, output.find("\r\n\r\n")).find("\r\nConnection: close") !=
           std::string_view::npos;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = connection_.remoteIp;
    port = connection_.remotePort;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = connection_.localIp;
    port = connection_.localPort;
  }
  int socket() const override { return connection_.socket; }

 private:
  bool receiveBeforeDeadline() {
    while (readableBefore(connection_.socket, connection_.deadline)) {
      bool open = connection_.receive();
      if (!connection_.input.empty()) return true;
      if (!open) return false;
    }
    return false;
  }

  Connection& connection_;
  std::size_t read_ = 0;
};

// Whether the connection's next request is whole, or becomes whole within kSpinBeforeSleeping.
bool awaitWhole(Connection& connection) {
  auto spinEnd = steady_clock::now() + kSpinBeforeSleeping;
  for (;;) {
    Arrival arrival = connection.arrival();
    if (arrival != Arrival::partial) return arrival == Arrival::ready;
    if (steady_clock::now() >= spinEnd || !connection.receiveRequest()) return false;
    // Lets the client run if it shares this core.
    std::this_thread::yield();
  }
}

// Serves the connections httplib accepts: one thread polls every connection until it has sent a
// whole request and hands it to a worker; workers are started as requests come, up to a cap.
class ConnectionLoop {
 public:
  // Answers the request at the start of the stream (httplib's process_request): false when the
  // connection is to end, as `closed` set.
  using Answer = std::function<bool(httplib::Stream& stream, bool last, bool& closed)>;

  explicit ConnectionLoop(Answer answer) : answer_(std::move(answer)) {
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    watcher_ = std::thread([this] { watch(); });
  }
  ~ConnectionLoop() {
    stop();
    ::close(wake_);
  }
  ConnectionLoop(const ConnectionLoop&) = delete;
  ConnectionLoop& operator=(const ConnectionLoop&) = delete;

  // Takes an accepted connection over; it may send `requests` requests of bodies up to
  // `maxBody` bytes.
  void adopt(int socket, std::size_t requests, std::size_t maxBody) {
    auto connection = std::make_unique<Connection>(socket, requests, maxBody);
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    arrived_.push_back(std::move(connection));
    wake();
  }

  // Closes the connections that wait, lets the workers finish the requests they have, and
  // returns.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      wake();
    }
    work_.notify_all();
    if (watcher_.joinable()) watcher_.join();
    // Only the watcher starts workers.
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    std::lock_guard lock(mutex_);
    arrived_.clear();
  }

 private:
  void wake() {
    std::uint64_t one = 1;
    ssize_t wrote = ::write(wake_, &one, sizeof one);
    (void)wrote;  // the counter cannot overflow: a failed write would find it already set
  }

  // The watching thread: waits on every connection not with a worker, reads what they send, and
  // closes those past their time.
  void watch() {
    std::vector<std::unique_ptr<Connection>> open, arrived;
    std::vector<pollfd> polled;
    while (!stopping_) {
      {
        std::lock_guard lock(mutex_);
        arrived.swap(arrived_);
      }
      // A connection handed back by a worker may hold a request that needs no more bytes.
      for (auto& connection : arrived)
        if (settle(connection)) open.push_back(std::move(connection));
      arrived.clear();
      auto now = steady_clock::now();
      std::erase_if(open, [&](const std::unique_ptr<Connection>& connection) {
        if (connection->deadline > now) return false;
        if (!connection->input.empty() && !connection->sending())
          connection->refuse(408, "requestTimeout",
                             "The request did not arrive whole within " +
                                 std::to_string(kRequestTimeout.count()) + " s.");
        return true;
      });
      polled.assign(1, pollfd{wake_, POLLIN, 0});
      auto next = steady_clock::time_point::max();
      for (const auto& connection : open) {
        short events = connection->sending() ? POLLOUT : POLLIN;
        polled.push_back(pollfd{connection->socket, events, 0});
        next = std::min(next, connection->deadline);
      }
      long long timeout =
          open.empty() ? -1 : std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
      ::poll(polled.data(), polled.size(), static_cast<int>(std::min<long long>(timeout, INT_MAX)));
      if (polled[0].revents != 0) {
        std::uint64_t count;
        ssize_t got = ::read(wake_, &count, sizeof count);
        (void)got;  // only emptied: what woke the loop is looked at above
      }
      for (std::size_t i = 0; i < open.size(); ++i) {
        if (polled[i + 1].revents == 0) continue;
        if (open[i]->sending()) {
          sendMore(open[i]);
          continue;
        }
        bool live = open[i]->receiveRequest();
        // Left with its request unfinished, or after its answers.
        if (settle(open[i]) && !live) open[i].reset();
      }
      std::erase(open, nullptr);
    }
  }

  // Sends more of an answer as the client takes it; once it is sent, the connection ends or goes
  // on to its next request.
  void sendMore(std::unique_ptr<Connection>& connection) {
    if (!connection->sendAnswer() || (!connection->sending() && connection->closing))
      return connection.reset();
    auto now = steady_clock::now();
    if (connection->sending()) {
      connection->deadline = now + kSendTimeout;
      return;
    }
    connection->deadline = now + (connection->input.empty() ? kKeepAlive : kRequestTimeout);
    settle(connection);
  }

  // Hands a connection whose request is ready to a worker, refuses one whose head is too large;
  // true while it waits for more (its next request, or the client taking its answer).
  bool settle(std::unique_ptr<Connection>& connection) {
    if (connection->sending()) return true;
    switch (connection->arrival()) {
      case Arrival::partial:
        return true;
      case Arrival::ready:
        dispatch(std::move(connection));
        return false;
      case Arrival::headTooLarge:
        connection->refuse(
            431, "requestHeaderFieldsTooLarge",
            "The request head is larger than " + std::to_string(kMaxHeadBytes >> 10) + " KiB.");
        connection.reset();
        return false;
    }
    return false;
  }

  void dispatch(std::unique_ptr<Connection> connection) {
    std::lock_guard lock(mutex_);
    whole_.push_back(std::move(connection));
    if (whole_.size() > idleWorkers_ && workers_.size() < kMaxWorkers)
      workers_.emplace_back([this] { work(); });
    work_.notify_one();
  }

  // A worker: answers connections' requests until the loop stops.
  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idleWorkers_;
      work_.wait(lock, [this] { return stopping_ || !whole_.empty(); });
      --idleWorkers_;
      if (whole_.empty()) return;
      std::unique_ptr<Connection> connection = std::move(whole_.front());
      whole_.pop_front();
      lock.unlock();
      connection = answerWhileWhole(std::move(connection));
      lock.lock();
      if (connection && !stopping_) {
        arrived_.push_back(std::move(connection));
        wake();
      }
    }
  }

  // Answers the connection's requests while they come whole; gives the connection back when it
  // waits for more (or for the client to take the rest of an answer), null once it has ended.
  std::unique_ptr<Connection> answerWhileWhole(std::unique_ptr<Connection> connection) {
    do {
      ConnectionStream stream(*connection);
      bool closed = false;
      bool answered = answer_(stream, --connection->requestsLeft == 0, closed);
      connection->input.erase(0, stream.consumed());
      connection->framing = RequestFraming();
      // A refused body may be partly unread: what follows it is no request.
      connection->closing = closed || !answered || stream.answerCloses();
      if (!connection->sendAnswer() || stopping_) return nullptr;
      if (connection->sending()) {
        connection->deadline = steady_clock::now() + kSendTimeout;
        return connection;
      }
      if (connection->closing) return nullptr;
      // The next request's time starts now, or with its first byte.
      connection->deadline =
          steady_clock::now() + (connection->input.empty() ? kKeepAlive : kRequestTimeout);
    } while (awaitWhole(*connection));
    return connection;
  }

  Answer answer_;
  int wake_ = -1;  // an eventfd: written to wake the watching thread
  std::mutex mutex_;
  std::condition_variable work_;
  std::vector<std::unique_ptr<Connection>> arrived_;  // for the watcher: accepted or handed back
  std::deque<std::unique_ptr<Connection>> whole_;     // for the workers: a request ready
  std::vector<std::thread> workers_;
  std::size_t idleWorkers_ = 0;
  std::atomic<bool> stopping_ = false;
  std::thread watcher_;
};

// The version whose protected members and private virtual the server below relies on.
constexpr std::string_view kLoopWrittenFor = "0.11.4";
constexpr bool kBufferedLoop = std::string_view(CPPHTTPLIB_VERSION) == kLoopWrittenFor;

// httplib's server with its connections served by a ConnectionLoop. A template so that it is
// compiled only when kBufferedLoop picks it: another httplib may lack what it uses.
template <class Base>
class BufferedServer final : public Base {
 public:
  BufferedServer() {
    this->set_keep_alive_timeout(kKeepAlive.count());
    this->set_read_timeout(kRequestTimeout.count());
    this->new_task_queue = [this] {
      // Called as serving starts. httplib listens with a backlog of 5: 64 reads in flight open
      // their connections at once, and a connection past the backlog waits a second for its
      // handshake to be tried again.
      ::listen(this->svr_sock_, SOMAXCONN);
      return new LoopQueue(loop_);
    };
  }

 private:
  // httplib's accept loop gives each connection to its task queue: this one passes it to the
  // loop at once, and stops the loop when the server stops.
  class LoopQueue final : public httplib::TaskQueue {
   public:
    explicit LoopQueue(ConnectionLoop& loop) : loop_(loop) {}
    void enqueue(std::function<void()> task) override { task(); }
    void shutdown() override { loop_.stop(); }

   private:
    ConnectionLoop& loop_;
  };

  bool process_and_close_socket(socket_t socket) override {
    loop_.adopt(socket, this->keep_alive_max_count_, this->payload_max_length_);
    return true;
  }

  ConnectionLoop loop_{[this](httplib::Stream& stream, bool last, bool& closed) {
    return this->process_request(stream, last, closed, nullptr);
  }};
};

// With another httplib: each connection holds one of a fixed pool's threads while it is open.
class StockServer final : public httplib::Server {
 public:
  StockServer() {
    new_task_queue = [] { return new httplib::ThreadPool(kStockThreads); };
    // An idle connection holds a thread: keep idling short.
    set_keep_alive_timeout(1);
  }
};

using HttpServer = std::conditional_t<kBufferedLoop, BufferedServer<httplib::Server>, StockServer>;

}  // namespace

std::unique_ptr<httplib::Server> makeHttpServer() { return std::make_unique<HttpServer>(); }

}  // namespace tolmi_gcp::emulator
