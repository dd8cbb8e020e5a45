#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "emulator/emulator.hpp"
#include "emulator/server.hpp"
#include "tolmi_gcp/core/yaml_document.hpp"

namespace tolmi_gcp::emulator {
namespace {

const char* kTopology = R"(
projects:
  p:
    networks:
      - {name: net}
)";

// A client that writes bytes as given, so requests can share a write or span several.
class RawConnection {
 public:
  // A `receiveBuffer` of 0 leaves the system's, which grows as the client reads.
  explicit RawConnection(int port, int receiveBuffer = 0)
      : socket_(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (receiveBuffer > 0)
      ::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot connect");
    timeval timeout{10, 0};
    ::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  ~RawConnection() { ::close(socket_); }

  void send(const std::string& bytes) {
    ASSERT_EQ(::send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  // Reads `count` whole answers; each is its status line and body.
  std::vector<std::pair<std::string, std::string>> answers(int count) {
    std::vector<std::pair<std::string, std::string>> read;
    while (static_cast<int>(read.size()) < count) {
      auto headersEnd = received_.find("\r\n\r\n");
      if (headersEnd != std::string::npos) {
        std::string head = received_.substr(0, headersEnd);
        auto length = head.find("Content-Length: ");
        if (length == std::string::npos) throw std::runtime_error("no length in: " + head);
        std::size_t bodySize = std::stoul(head.substr(length + 16));
        std::size_t total = headersEnd + 4 + bodySize;
        if (received_.size() >= total) {
          read.emplace_back(head.substr(0, head.find("\r\n")),
                            received_.substr(headersEnd + 4, bodySize));
          received_.erase(0, total);
          continue;
        }
      }
      char chunk[4096];
      ssize_t got = ::recv(socket_, chunk, sizeof chunk, 0);
      if (got <= 0) throw std::runtime_error("connection ended after " + received_);
      received_.append(chunk, static_cast<std::size_t>(got));
    }
    return read;
  }

  // Whether the server has neither answered nor closed the connection.
  bool quiet() const {
    char byte;
    return ::recv(socket_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && errno == EAGAIN;
  }

 private:
  int socket_;
  std::string received_;
};

std::string get(const std::string& path) {
  return "GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n";
}

class ServerTest : public ::testing::Test {
 protected:
  std::shared_ptr<Emulator> emulator =
      std::make_shared<Emulator>(parseYamlText(kTopology, "topology"));
  Server server{emulator, "127.0.0.1", 0};
};

TEST_F(ServerTest, AnswersRequestsSentTogetherInTheirOrder) {
  RawConnection connection(server.port());
  connection.send(get("/compute/v1/projects/p/global/networks/net") +
                  get("/compute/v1/projects/p/global/networks/none") +
                  get("/compute/v1/projects/p/global/networks") +
                  // No Content-Length: no body.
                  "POST /emulator/v1/reset HTTP/1.1\r\nHost: localhost\r\n\r\n");
  auto answers = connection.answers(4);
  EXPECT_EQ(answers[0].first, "HTTP/1.1 200 OK");
  EXPECT_NE(answers[0].second.find("\"name\":\"net\""), std::string::npos) << answers[0].second;
  EXPECT_EQ(answers[1].first, "HTTP/1.1 404 Not Found");
  EXPECT_EQ(answers[2].first, "HTTP/1.1 200 OK");
  EXPECT_NE(answers[2].second.find("\"kind\":\"compute#networkList\""), std::string::npos);
  EXPECT_EQ(answers[3].first, "HTTP/1.1 200 OK");
}

TEST_F(ServerTest, ReadsABodyLargerThanOneReadAndKeepsTheConnectionInStep) {
  RawConnection connection(server.port(), 64 * 1024);
  // A route whose description makes the body far larger than one socket read, and its answer
  // more than the sockets hold (4 MiB at most on the server's side): the server sends it as the
  // client takes it.
  const std::string description(12 << 20, 'd');
  std::string body = R"({"name": "big", "network": "global/networks/net", "destRange": )"
                     R"("10.5.0.0/16", "nextHopIp": "10.0.0.9", "description": ")" +
                     description + "\"}";
  std::string post =
      "POST /compute/v1/projects/p/global/routes HTTP/1.1\r\nHost: localhost\r\n"
      "Content-Type: application/json\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n\r\n";
  // Sent in pieces, the head split from its body, then the next request right behind it.
  connection.send(post.substr(0, 20));
  connection.send(post.substr(20) + body.substr(0, 70000));
  connection.send(body.substr(70000) + get("/compute/v1/projects/p/global/routes/big"));
  auto answers = connection.answers(2);
  EXPECT_EQ(answers[0].first, "HTTP/1.1 200 OK") << answers[0].second;
  EXPECT_NE(answers[0].second.find("\"operationType\":\"insert\""), std::string::npos);
  EXPECT_EQ(answers[1].first, "HTTP/1.1 200 OK") << answers[1].second;
  EXPECT_NE(answers[1].second.find(description), std::string::npos);
}

TEST_F(ServerTest, RefusesForeignHostsAndOriginsAndBodiesOverTheCap) {
  const std::string port = std::to_string(server.port());
  const std::string state = "GET /emulator/v1/state HTTP/1.1\r\n";
  const std::string overCap = std::string(32 * 1024 * 1024 + 1, ' ');
  const std::string fault =
      "POST /emulator/v1/faults HTTP/1.1\r\nHost: localhost\r\n"
      "Content-Length: 2\r\nContent-Type: ";
  struct Case {
    std::string request;
    std::string status;
    bool closes = false;  // what follows the answer is not read
  };
  const Case cases[] = {
      {state + "Host: 127.0.0.1:" + port + "\r\n\r\n", "HTTP/1.1 200 OK"},
      {state + "Host: LOCALHOST\r\n\r\n", "HTTP/1.1 200 OK"},
      {state + "Host: [::1]:" + port + "\r\n\r\n", "HTTP/1.1 200 OK"},
      {state + "\r\n", "HTTP/1.1 200 OK"},
      {state + "Host: rebound.example:" + port + "\r\n\r\n", "HTTP/1.1 403 Forbidden"},
      {state + "Host: 127.0.0.1.example\r\n\r\n", "HTTP/1.1 403 Forbidden"},
      {state + "Host: localhost\r\nOrigin: http://localhost:3000\r\n\r\n", "HTTP/1.1 200 OK"},
      {state + "Host: localhost\r\nOrigin: https://site.example\r\n\r\n", "HTTP/1.1 403 Forbidden"},
      {state + "Host: localhost\r\nOrigin: null\r\n\r\n", "HTTP/1.1 403 Forbidden"},
      {"POST /emulator/v1/reset HTTP/1.1\r\nHost: localhost\r\n\r\n", "HTTP/1.1 200 OK"},
      {fault + "text/plain\r\n\r\n{}", "HTTP/1.1 415 Unsupported Media Type"},
      {fault + "Application/JSON; charset=utf-8\r\n\r\n{}", "HTTP/1.1 400 Bad Request"},
      {"POST /emulator/v1/faults HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n"
       "Content-Type: application/json\r\n\r\n2000001\r\n" +
           overCap + "\r\n0\r\n\r\n" + state + "Host: localhost\r\n\r\n",
       "HTTP/1.1 413 Payload Too Large", true},
      {state + "Host: localhost\r\nX-Pad: " + std::string(70 * 1024, 'x') + "\r\n\r\n",
       "HTTP/1.1 431 Request Header Fields Too Large", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request.substr(0, 200));
    RawConnection connection(server.port());
    connection.send(c.request);
    EXPECT_EQ(connection.answers(1)[0].first, c.status);
    if (c.closes) {
      EXPECT_THROW(connection.answers(1), std::runtime_error);
    }
  }
}

// Idle kept-alive connections and clients stalled mid-request hold no thread: a burst of reads at
// 64 connections ends about as soon as at 8, and the stalled clients are answered 408 in time.
TEST(ServerConnections, IdleAndStalledConnectionsDoNotSlowReadsInFlight) {
  using namespace std::chrono_literals;
  Options options;
  options.latencyMs = 20;
  Server server(std::make_shared<Emulator>(parseYamlText(kTopology, "topology"), options),
                "127.0.0.1", 0);
  std::vector<std::unique_ptr<RawConnection>> idle, stalled;
  for (int i = 0; i < 200; ++i) {
    idle.push_back(std::make_unique<RawConnection>(server.port()));
    idle.back()->send(get("/emulator/v1/state"));
  }
  for (auto& connection : idle) ASSERT_EQ(connection->answers(1)[0].first, "HTTP/1.1 200 OK");
  for (int i = 0; i < 40; ++i) {
    stalled.push_back(std::make_unique<RawConnection>(server.port()));
    stalled.back()->send("GET /compute/v1/projects/p/global/networks HTTP/1.1\r\nHost: loc");
  }
  // 256 reads, each connection sending its share one after the other.
  auto burst = [&](int connections) {
    auto started = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    for (int c = 0; c < connections; ++c)
      clients.emplace_back([&] {
        try {
          RawConnection connection(server.port());
          for (int i = 0; i < 256 / connections; ++i) {
            connection.send(get("/compute/v1/projects/p/global/networks/net"));
            EXPECT_EQ(connection.answers(1)[0].first, "HTTP/1.1 200 OK");
          }
        } catch (const std::exception& failure) {
          ADD_FAILURE() << failure.what();
        }
      });
    for (std::thread& client : clients) client.join();
    return std::chrono::steady_clock::now() - started;
  };
  auto at64 = burst(64);
  auto at8 = burst(8);
  // At 8 connections each sends 32 reads, one latency each.
  EXPECT_LT(at8, 2 * 32 * std::chrono::milliseconds(options.latencyMs) + 500ms);
  EXPECT_LT(at64, 2 * at8 + 200ms);
  for (const auto* group : {&idle, &stalled})
    for (const auto& connection : *group) EXPECT_TRUE(connection->quiet());
  idle.back()->send(get("/emulator/v1/state"));
  EXPECT_EQ(idle.back()->answers(1)[0].first, "HTTP/1.1 200 OK");
  for (auto& connection : stalled)
    EXPECT_EQ(connection->answers(1)[0].first, "HTTP/1.1 408 Request Timeout");
}

}  // namespace
}  // namespace tolmi_gcp::emulator
