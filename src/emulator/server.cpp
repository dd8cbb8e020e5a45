#include "emulator/server.hpp"

#include <strings.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "emulator/connection_loop.hpp"
#include "emulator/wire.hpp"

namespace tolmi_gcp::emulator {

namespace {

// Topology-sized bodies are far below this; anything larger is refused before it is read.
constexpr std::size_t kMaxRequestBytes = 32 * 1024 * 1024;

// The name part of a Host header or an Origin's authority ("[::1]" of "[::1]:8080").
std::string_view hostName(std::string_view host) {
  if (host.starts_with('[')) return host.substr(0, host.find(']') + 1);
  return host.find(':') == host.rfind(':') ? host.substr(0, host.find(':')) : host;
}

// An address as a Host header names it: IPv6 in brackets.
std::string asHost(const std::string& address) {
  return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

}  // namespace

struct Server::Impl {
  std::shared_ptr<Emulator> emulator;
  std::string host;
  std::unique_ptr<httplib::Server> http = makeHttpServer();
  int port = 0;
  std::thread serving;
  std::atomic<bool> ended = false;

  // A web page must not reach the emulator: not through a name that resolves to it (its Host
  // names something else), nor from its own origin, nor with an admin change that is not JSON
  // (which a page cannot send to another site without asking first).
  std::optional<HttpResponse> refuseFromTheWeb(const httplib::Request& request,
                                               const std::string& body) const {
    auto own = [&](std::string_view name) {
      for (const std::string& known :
           {std::string("localhost"), std::string("127.0.0.1"), std::string("[::1]"), asHost(host),
            asHost(request.local_addr)})
        if (name.size() == known.size() && strncasecmp(name.data(), known.data(), name.size()) == 0)
          return true;
      return false;
    };
    std::string hostHeader = request.get_header_value("Host");
    if (request.has_header("Host") && !own(hostName(hostHeader)))
      return errorResponse(403, "forbidden",
                           "Host '" + hostHeader +
                               "' is not this emulator: give localhost, 127.0.0.1, [::1] or " +
                               asHost(host) + ".");
    std::string origin = request.get_header_value("Origin");
    auto authority = origin.find("://");
    if (request.has_header("Origin") &&
        (authority == std::string::npos || !own(hostName(origin.substr(authority + 3)))))
      return errorResponse(403, "forbidden",
                           "Requests from the web origin '" + origin + "' are refused.");
    std::string contentType = request.get_header_value("Content-Type");
    std::string mediaType = contentType.substr(0, contentType.find(';'));
    while (mediaType.ends_with(' ')) mediaType.pop_back();
    if (request.target.starts_with("/emulator/v1/") && request.method != "GET" && !body.empty() &&
        strcasecmp(mediaType.c_str(), "application/json") != 0)
      return errorResponse(
          415, "unsupportedMediaType",
          "Admin changes take Content-Type application/json, not '" + contentType + "'.");
    return std::nullopt;
  }

  // Answers with the body read as it came (a length, chunks, compressed), up to the cap.
  void answerReading(const httplib::Request& request, httplib::Response& response,
                     const httplib::ContentReader& read) {
    std::string body;
    bool tooLarge = false;
    // Without a length or chunks a request has no body; reading would wait for the peer to close.
    bool whole =
        !(request.has_header("Content-Length") || request.has_header("Transfer-Encoding")) ||
        read([&](const char* data, std::size_t size) {
          tooLarge = tooLarge || body.size() + size > kMaxRequestBytes;
          if (!tooLarge) body.append(data, size);
          return !tooLarge;
        });
    if (whole) return answer(request, body, response);
    // What is left of the body is still on the way: the connection ends with this answer.
    response.set_header("Connection", "close");
    write(tooLarge || response.status == 413
              ? errorResponse(413, "requestTooLarge",
                              "The request body is larger than " +
                                  std::to_string(kMaxRequestBytes >> 20) + " MiB.")
              : errorResponse(400, "badRequest", "The request body could not be read."),
          response);
  }

  static void write(HttpResponse answer, httplib::Response& response) {
    response.status = answer.status;
    std::string contentType = "application/json; charset=UTF-8";
    for (const auto& [name, value] : answer.headers)
      if (name == "content-type")
        contentType = value;
      else
        response.set_header(name, value);
    response.set_content(std::move(answer.body), contentType);
  }

  void answer(const httplib::Request& request, const std::string& body,
              httplib::Response& response) {
    if (auto refusal = refuseFromTheWeb(request, body)) return write(*refusal, response);
    // The raw target keeps the path as sent and the query in its order.
    std::string_view target = request.target;
    auto question = target.find('?');
    QueryList query;
    if (question != std::string_view::npos) query = parseQuery(target.substr(question + 1));
    HeaderList headers(request.headers.begin(), request.headers.end());
    try {
      write(emulator->handle(request.method, std::string(target.substr(0, question)), query,
                             headers, body),
            response);
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
  impl_->host = host;
  httplib::Server& http = *impl_->http;
  http.set_payload_max_length(kMaxRequestBytes);
  http.set_keep_alive_max_count(100000);
  // Answers go out in one write; without this a large one's last segment waits on a delayed ACK.
  http.set_tcp_nodelay(true);
  auto handler = [this](const httplib::Request& request, httplib::Response& response) {
    impl_->answer(request, request.body, response);
  };
  // httplib caps a body by its Content-Length only; these read chunked ones under the same cap.
  auto reading = [this](const httplib::Request& request, httplib::Response& response,
                        const httplib::ContentReader& read) {
    impl_->answerReading(request, response, read);
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
  http.Post(".*", reading);
  http.Put(".*", handler);
  http.Put(".*", reading);
  http.Patch(".*", handler);
  http.Patch(".*", reading);
  http.Delete(".*", handler);
  http.Delete(".*", reading);
  impl_->port =
      port == 0 ? http.bind_to_any_port(host) : (http.bind_to_port(host, port) ? port : -1);
  if (impl_->port <= 0)
    throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port));
  impl_->serving = std::thread([impl = impl_.get()] {
    impl->http->listen_after_bind();
    impl->ended = true;
  });
  // A stop before the accept loop runs would be missed; it starts at once.
  while (!http.is_running() && !impl_->ended) std::this_thread::yield();
}

Server::~Server() {
  impl_->http->stop();
  impl_->serving.join();
}

int Server::port() const { return impl_->port; }

}  // namespace tolmi_gcp::emulator
