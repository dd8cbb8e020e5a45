#include "emulator/connection_loop.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>
#include <type_traits>

namespace tolmi_gcp::emulator {

namespace {

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

  // Whether the answer written since the last flush says that the connection ends with it.
  bool answerCloses() const {
    std::string_view head = std::string_view(pending_).substr(0, pending_.find("\r\n\r\n"));
    return head.find("\r\nConnection: close") != std::string_view::npos;
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

// The version whose protected members and private virtual the loop below relies on.
constexpr std::string_view kLoopWrittenFor = "0.11.4";
constexpr bool kBufferedLoop = std::string_view(CPPHTTPLIB_VERSION) == kLoopWrittenFor;

// httplib's server with its connection loop replaced by one over ConnectionStream. A template so
// that it is compiled only when kBufferedLoop picks it: another httplib may lack what it uses.
template <class Base>
class BufferedServer final : public Base {
 private:
  bool process_and_close_socket(socket_t socket) override {
    ConnectionStream stream(
        socket, static_cast<int>(this->read_timeout_sec_ * 1000 + this->read_timeout_usec_ / 1000));
    int keepAliveMs = static_cast<int>(this->keep_alive_timeout_sec_ * 1000);
    bool answered = false;
    for (std::size_t left = this->keep_alive_max_count_; left > 0; --left) {
      if (!stream.awaitRequest(this->svr_sock_, keepAliveMs)) break;
      bool closed = false;
      answered = this->process_request(stream, left == 1, closed, nullptr);
      // A refused body may be partly unread: what follows it is no request.
      closed = closed || stream.answerCloses();
      if (!stream.flush() || !answered || closed) break;
    }
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
    return answered;
  }
};

using HttpServer =
    std::conditional_t<kBufferedLoop, BufferedServer<httplib::Server>, httplib::Server>;

}  // namespace

std::unique_ptr<httplib::Server> makeHttpServer() { return std::make_unique<HttpServer>(); }

bool bufferedConnectionLoop() { return kBufferedLoop; }

}  // namespace tolmi_gcp::emulator
