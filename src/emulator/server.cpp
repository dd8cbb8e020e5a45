#include "emulator/server.hpp"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "emulator/wire.hpp"

namespace tolmi_gcp::emulator {

namespace {

// Topology-sized bodies are far below this; anything larger is refused before it is read.
constexpr std::size_t kMaxRequestBytes = 32 * 1024 * 1024;
constexpr int kThreads = 32;
// An idle kept-alive connection holds one of the threads: keep idling short.
constexpr int kKeepAliveSeconds = 1;
// How often a connection waiting for its next request looks whether the server is stopping.
constexpr int kStopCheckMs = 50;
// After an answer, a connection looks for the next request this long before it sleeps: a
// sequential client sends it within tens of microseconds, and waking a sleeping thread on
// another core costs more than the whole answer on a virtual machine.
constexpr auto kSpinBeforeSleeping = std::chrono::microseconds(100);

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

// One accepted connection. Reads are buffered and each answer is held until it is whole, then
// sent in one write: the stock stream polls before every read and write and sends headers and
// body apart, which costs the client an extra wake-up per answer.
class ConnectionStream final : public httplib::Stream {
 public:
  ConnectionStream(int socket, int readTimeoutMs) : socket_(socket), readTimeoutMs_(readTimeoutMs) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      remoteIp_ = addressText(address, remotePort_);
    length = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      localIp_ = addressText(address, localPort_);
  }

  bool is_readable() const override { return buffered() || readable(readTimeoutMs_); }
  // Writes only fill the pending answer.
  bool is_writable() const override { return true; }

  ssize_t read(char* into, size_t size) override {
    if (!buffered() && !refill()) return -1;
    std::size_t taken = std::min(size, end_ - begin_);
    std::memcpy(into, buffer_ + begin_, taken);
    begin_ += taken;
    return static_cast<ssize_t>(taken);
  }

  ssize_t write(const char* data, size_t size) override {
    pending_.append(data, size);
    return static_cast<ssize_t>(size);
  }

  // Sends the answer written since the last flush; false when the peer is gone.
  bool flush() {
    std::size_t sent = 0;
    while (sent < pending_.size()) {
      ssize_t wrote = ::send(socket_, pending_.data() + sent, pending_.size() - sent, MSG_NOSIGNAL);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) return false;
      sent += static_cast<std::size_t>(wrote);
    }
    pending_.clear();
    return true;
  }

  // Waits for the next request of a kept-alive connection: spins briefly, then sleeps in short
  // slices. False when it does not come in time, the peer closed, or the server is stopping.
  bool awaitRequest(const std::atomic<int>& listening, int timeoutMs) const {
    if (listening == INVALID_SOCKET) return false;
    if (buffered()) return true;
    auto spinEnd = std::chrono::steady_clock::now() + kSpinBeforeSleeping;
    do {
      if (readable(0)) return true;
      // Lets the client run if it shares this core.
      std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < spinEnd);
    for (int waited = 0; waited < timeoutMs; waited += kStopCheckMs) {
      if (listening == INVALID_SOCKET) return false;
      if (readable(kStopCheckMs)) return true;
    }
    return false;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = remoteIp_;
    port = remotePort_;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = localIp_;
    port = localPort_;
  }
  int socket() const override { return socket_; }

 private:
  bool buffered() const { return begin_ < end_; }

  // Reads what the socket holds, waiting up to the read timeout; false at its end or on error.
  bool refill() {
    ssize_t got = ::recv(socket_, buffer_, sizeof buffer_, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && readable(readTimeoutMs_))
      got = ::recv(socket_, buffer_, sizeof buffer_, MSG_DONTWAIT);
    if (got <= 0) return false;
    begin_ = 0;
    end_ = static_cast<std::size_t>(got);
    return true;
  }

  bool readable(int timeoutMs) const {
    pollfd entry{socket_, POLLIN, 0};
    int ready;
    do ready = ::poll(&entry, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    return ready > 0;
  }

  int socket_;
  int readTimeoutMs_;
  std::string remoteIp_, localIp_;
  int remotePort_ = 0, localPort_ = 0;
  char buffer_[16 * 1024];
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::string pending_;
};

// httplib's server with its connection loop replaced by one over ConnectionStream.
class BufferedServer final : public httplib::Server {
 private:
  bool process_and_close_socket(socket_t socket) override {
    ConnectionStream stream(socket,
                            static_cast<int>(read_timeout_sec_ * 1000 + read_timeout_usec_ / 1000));
    int keepAliveMs = static_cast<int>(keep_alive_timeout_sec_ * 1000);
    bool answered = false;
    for (std::size_t left = keep_alive_max_count_; left > 0; --left) {
      if (!stream.awaitRequest(svr_sock_, keepAliveMs)) break;
      bool closed = false;
      answered = process_request(stream, left == 1, closed, nullptr);
      if (!stream.flush() || !answered || closed) break;
    }
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
    return answered;
  }
};

}  // namespace

struct Server::Impl {
  std::shared_ptr<Emulator> emulator;
  BufferedServer http;
  int port = 0;
  std::thread serving;
  std::atomic<bool> ended = false;

  void answer(const httplib::Request& request, httplib::Response& response) {
    // The raw target keeps the path as sent and the query in its order.
    std::string_view target = request.target;
    auto question = target.find('?');
    QueryList query;
    if (question != std::string_view::npos) query = parseQuery(target.substr(question + 1));
    HeaderList headers(request.headers.begin(), request.headers.end());
    try {
      HttpResponse answer = emulator->handle(
          request.method, std::string(target.substr(0, question)), query, headers, request.body);
      response.status = answer.status;
      std::string contentType = "application/json; charset=UTF-8";
      for (const auto& [name, value] : answer.headers)
        if (name == "content-type")
          contentType = value;
        else
          response.set_header(name, value);
      response.set_content(std::move(answer.body), contentType);
    } catch (const ConnectionDropped&) {
      // Promise a body and send none: the client sees the connection close mid-answer.
      response.status = 200;
      response.set_content_provider(
          1, "application/json",
          [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
    }
  }
};

Server::Server(std::shared_ptr<Emulator> emulator, const std::string& host, int port)
    : impl_(std::make_unique<Impl>()) {
  impl_->emulator = std::move(emulator);
  httplib::Server& http = impl_->http;
  http.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  http.set_payload_max_length(kMaxRequestBytes);
  http.set_keep_alive_max_count(100000);
  http.set_keep_alive_timeout(kKeepAliveSeconds);
  // Answers go out in one write; without this a large one's last segment waits on a delayed ACK.
  http.set_tcp_nodelay(true);
  auto handler = [this](const httplib::Request& request, httplib::Response& response) {
    impl_->answer(request, response);
  };
  // A request with neither Content-Length nor a chunked body has none (`curl -X POST URL`);
  // httplib would wait for the connection to close and answer 400.
  http.set_pre_routing_handler(
      [handler](const httplib::Request& request, httplib::Response& response) {
        if (request.has_header("Content-Length") || request.has_header("Transfer-Encoding"))
          return httplib::Server::HandlerResponse::Unhandled;
        handler(request, response);
        return httplib::Server::HandlerResponse::Handled;
      });
  http.Get(".*", handler);
  http.Post(".*", handler);
  http.Put(".*", handler);
  http.Patch(".*", handler);
  http.Delete(".*", handler);
  impl_->port =
      port == 0 ? http.bind_to_any_port(host) : (http.bind_to_port(host, port) ? port : -1);
  if (impl_->port <= 0)
    throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port));
  impl_->serving = std::thread([impl = impl_.get()] {
    impl->http.listen_after_bind();
    impl->ended = true;
  });
  // A stop before the accept loop runs would be missed; it starts at once.
  while (!http.is_running() && !impl_->ended) std::this_thread::yield();
}

Server::~Server() {
  impl_->http.stop();
  impl_->serving.join();
}

int Server::port() const { return impl_->port; }

}  // namespace tolmi_gcp::emulator
