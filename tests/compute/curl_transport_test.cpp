#include "tolmi_gcp/compute/curl_transport.hpp"

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tolmi_gcp/ResourceDocument.hpp"
#include "tolmi_gcp/errors.hpp"

namespace tolmi_gcp {
namespace {

// A real HTTP server on a free loopback port that echoes what it received.
class EchoServer {
 public:
  EchoServer() {
    auto echo = [](const httplib::Request& request, httplib::Response& response) {
      ResourceDocument seen = {{"method", request.method},
                               {"path", request.path},
                               {"pageToken", request.get_param_value("pageToken")},
                               {"userAgent", request.get_header_value("User-Agent")},
                               {"acceptEncoding", request.get_header_value("Accept-Encoding")},
                               {"authorization", request.get_header_value("Authorization")},
                               {"contentType", request.get_header_value("Content-Type")},
                               {"body", request.body},
                               {"clientPort", request.remote_port}};
      response.status =
          request.has_param("status") ? std::stoi(request.get_param_value("status")) : 200;
      response.set_content(seen.dump(), "application/json");
    };
    server_.Get("/compute/v1/slow", [](const httplib::Request&, httplib::Response& response) {
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
      response.set_content("{}", "application/json");
    });
    server_.Get(".*", echo);
    server_.Post(".*", echo);
    server_.Patch(".*", echo);
    server_.Delete(".*", echo);
    port_ = server_.bind_to_any_port("127.0.0.1");
    // The socket listens once bound: requests wait in its backlog until the loop accepts them.
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~EchoServer() {
    // stop() before the loop runs would be lost and leave the loop running for ever.
    while (!server_.is_running()) std::this_thread::yield();
    server_.stop();
    thread_.join();
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/compute/v1/"; }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

// A loopback port with nothing listening on it.
int closedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

HttpRequest request(const std::string& base, const std::string& method, const std::string& path,
                    QueryList query = {}, HeaderList headers = {}, std::string body = "") {
  return HttpRequest{method, base, path, std::move(query), std::move(headers), std::move(body)};
}

TEST(CurlTransport, SendsMethodHeadersAndBodyAndReusesTheConnection) {
  EchoServer server;
  auto transport = makeCurlTransport();

  HttpResponse first =
      transport->send(request(server.base(), "GET", "projects/p/global/routes",
                              {{"pageToken", "a b&c"}}, {{"Authorization", "Bearer t"}}));
  EXPECT_EQ(first.status, 200);
  EXPECT_EQ(first.header("content-encoding"), "gzip");
  EXPECT_EQ(first.header("content-type"), "application/json");
  ResourceDocument seen = ResourceDocument::parse(first.body);  // decompressed by the transport
  EXPECT_EQ(seen["method"], "GET");
  EXPECT_EQ(seen["path"], "/compute/v1/projects/p/global/routes");
  EXPECT_EQ(seen["pageToken"], "a b&c");
  EXPECT_EQ(seen["userAgent"].get<std::string>().rfind("tolmi-gcp/" TOLMI_GCP_VERSION, 0), 0u)
      << seen["userAgent"];
  EXPECT_EQ(seen["acceptEncoding"], "gzip");
  EXPECT_EQ(seen["authorization"], "Bearer t");
  EXPECT_EQ(seen["body"], "");

  for (std::string method : {"POST", "PATCH", "DELETE"}) {
    HttpResponse changed =
        transport->send(request(server.base(), method, "projects/p/global/routes/r", {},
                                {{"Content-Type", "application/json"}}, R"({"name":"r"})"));
    ResourceDocument echoed = ResourceDocument::parse(changed.body);
    EXPECT_EQ(echoed["method"], method);
    EXPECT_EQ(echoed["body"], R"({"name":"r"})") << method;
    EXPECT_EQ(echoed["contentType"], "application/json");
    EXPECT_EQ(echoed["clientPort"], seen["clientPort"]) << method << " opened a new connection";
  }
  // A request carries nothing of the one before it on the same handle.
  ResourceDocument again = ResourceDocument::parse(
      transport->send(request(server.base(), "GET", "projects/p/global/routes")).body);
  EXPECT_EQ(again["method"], "GET");
  EXPECT_EQ(again["body"], "");
  EXPECT_EQ(again["contentType"], "");
  EXPECT_EQ(again["authorization"], "");
  EXPECT_EQ(again["userAgent"], seen["userAgent"]);
}

TEST(CurlTransport, ErrorStatusesAreAnswersAndNoAnswerIsATransportError) {
  EchoServer server;
  auto transport = makeCurlTransport();
  HttpResponse notFound =
      transport->send(request(server.base(), "GET", "projects/p", {{"status", "404"}}));
  EXPECT_EQ(notFound.status, 404);
  EXPECT_EQ(ResourceDocument::parse(notFound.body)["method"], "GET");

  std::string nowhere = "http://127.0.0.1:" + std::to_string(closedPort()) + "/compute/v1/";
  try {
    transport->send(request(nowhere, "GET", "projects/p"));
    FAIL() << "expected TransportError";
  } catch (const TransportError& failure) {
    EXPECT_NE(std::string(failure.what()).find("GET " + nowhere + "projects/p"), std::string::npos)
        << failure.what();
  }
  EXPECT_THROW(transport->send(request(nowhere, "GET", "projects/p")), ConnectError);
  // The transport recovers: the next request goes out on a fresh handle.
  EXPECT_EQ(transport->send(request(server.base(), "GET", "projects/p")).status, 200);

  auto frugal = makeCurlTransport({.maxAnswerBytes = 10});
  EXPECT_THROW(frugal->send(request(server.base(), "GET", "projects/p")), MalformedAnswerError);
  auto impatient = makeCurlTransport({.connectTimeoutMs = 1000, .totalTimeoutMs = 100});
  EXPECT_THROW(impatient->send(request(server.base(), "GET", "slow")), TransportError);
}

}  // namespace
}  // namespace tolmi_gcp
