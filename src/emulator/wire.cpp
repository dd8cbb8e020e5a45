#include "emulator/wire.hpp"

#include "emulator/store.hpp"

namespace tolmi_gcp::emulator {

namespace {

const char* kBoundary = "batch_compute_emulator";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

[[noreturn]] void malformed(const std::string& why) {
  throw ApiError(400, "badRequest", "Malformed batch request: " + why + ".");
}

// Splits "head<blank line>rest", accepting CRLF or LF line ends.
std::pair<std::string_view, std::string_view> splitAtBlankLine(std::string_view text) {
  for (std::string_view blank : {"\r\n\r\n", "\n\n"}) {
    auto at = text.find(blank);
    if (at != std::string_view::npos) return {text.substr(0, at), text.substr(at + blank.size())};
  }
  return {text, {}};
}

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out.push_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return out;
}

std::string lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// The value of header `name` (lower case) among "Name: value" lines.
std::string headerValue(const std::vector<std::string_view>& headerLines, std::string_view name) {
  for (std::string_view line : headerLines) {
    auto colon = line.find(':');
    if (colon == std::string_view::npos || lowered(line.substr(0, colon)) != name) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    return std::string(value);
  }
  return "";
}

}  // namespace

std::string percentDecode(std::string_view text, bool plusIsBlank) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else if (plusIsBlank && text[i] == '+') {
      out += ' ';
    } else {
      out += text[i];
    }
  }
  return out;
}

QueryList parseQuery(std::string_view text) {
  QueryList query;
  while (!text.empty()) {
    auto amp = text.find('&');
    std::string_view pair = text.substr(0, amp);
    if (!pair.empty()) {
      auto eq = pair.find('=');
      query.emplace_back(
          percentDecode(pair.substr(0, eq), true),
          eq == std::string_view::npos ? "" : percentDecode(pair.substr(eq + 1), true));
    }
    if (amp == std::string_view::npos) break;
    text.remove_prefix(amp + 1);
  }
  return query;
}

std::vector<BatchPart> parseBatch(std::string_view contentType, std::string_view body) {
  auto at = lowered(contentType).find("boundary=");
  if (!lowered(contentType).starts_with("multipart/mixed") || at == std::string::npos)
    malformed("expected Content-Type multipart/mixed with a boundary");
  std::string_view boundary = contentType.substr(at + 9);
  boundary = boundary.substr(0, boundary.find(';'));
  if (boundary.size() >= 2 && boundary.front() == '"' && boundary.back() == '"')
    boundary = boundary.substr(1, boundary.size() - 2);
  if (boundary.empty()) malformed("the boundary is empty");
  std::string delimiter = "--" + std::string(boundary);

  std::vector<BatchPart> parts;
  std::size_t next = body.find(delimiter);
  if (next == std::string_view::npos) malformed("no part starts with the boundary");
  while (true) {
    std::size_t start = next + delimiter.size();
    if (body.substr(start, 2) == "--") break;
    next = body.find(delimiter, start);
    if (next == std::string_view::npos) malformed("the closing boundary is missing");
    std::string_view part = body.substr(start, next - start);
    // The line end before a boundary belongs to the boundary.
    if (part.ends_with("\r\n"))
      part.remove_suffix(2);
    else if (part.ends_with("\n"))
      part.remove_suffix(1);
    auto [partHead, request] = splitAtBlankLine(part);
    auto [requestHead, requestBody] = splitAtBlankLine(request);
    auto requestLines = lines(requestHead);
    if (requestLines.empty()) malformed("a part holds no request line");
    std::string_view requestLine = requestLines[0];
    auto firstBlank = requestLine.find(' ');
    auto lastBlank = requestLine.rfind(' ');
    if (firstBlank == std::string_view::npos || lastBlank == firstBlank)
      malformed("bad request line '" + std::string(requestLine) + "'");
    BatchPart parsed;
    parsed.contentId = headerValue(lines(partHead), "content-id");
    if (parsed.contentId.size() >= 2 && parsed.contentId.front() == '<')
      parsed.contentId = parsed.contentId.substr(1, parsed.contentId.size() - 2);
    parsed.method = std::string(requestLine.substr(0, firstBlank));
    std::string_view target = requestLine.substr(firstBlank + 1, lastBlank - firstBlank - 1);
    if (auto scheme = target.find("://"); scheme != std::string_view::npos)
      target.remove_prefix(std::min(target.size(), target.find('/', scheme + 3)));
    auto question = target.find('?');
    parsed.path = std::string(target.substr(0, question));
    if (question != std::string_view::npos) parsed.query = parseQuery(target.substr(question + 1));
    parsed.body = std::string(requestBody);
    parts.push_back(std::move(parsed));
  }
  return parts;
}

HttpResponse batchResponse(const std::vector<BatchPart>& parts,
                           const std::vector<HttpResponse>& responses) {
  std::string body;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const HttpResponse& response = responses[i];
    // Appended piece by piece: chains of temporaries make GCC 12 see a false out-of-bounds
    // copy at -O3.
    body.append("--").append(kBoundary).append("\r\nContent-Type: application/http\r\n");
    body.append("Content-ID: <response-").append(parts[i].contentId).append(">\r\n\r\n");
    body.append("HTTP/1.1 ").append(std::to_string(response.status)).append(" ");
    body.append(reasonPhrase(response.status));
    body.append("\r\nContent-Type: application/json; charset=UTF-8\r\nContent-Length: ");
    body.append(std::to_string(response.body.size())).append("\r\n\r\n");
    body.append(response.body).append("\r\n");
  }
  body.append("--").append(kBoundary).append("--\r\n");
  return {200, {{"content-type", "multipart/mixed; boundary=" + std::string(kBoundary)}}, body};
}

std::string answerText(const ResourceDocument& body) {
  return body.dump(-1, ' ', false, ResourceDocument::error_handler_t::replace);
}

HttpResponse jsonResponse(int status, const ResourceDocument& body) {
  return {status, {{"content-type", "application/json; charset=UTF-8"}}, answerText(body)};
}

HttpResponse errorResponse(int status, const std::string& reason, const std::string& message) {
  ResourceDocument error = {{"code", status}, {"message", message}};
  error["errors"] = {{{"message", message}, {"domain", "global"}, {"reason", reason}}};
  return jsonResponse(status, {{"error", std::move(error)}});
}

std::string requestHeader(const HeaderList& headers, std::string_view name) {
  for (const auto& [key, value] : headers)
    if (lowered(key) == lowered(name)) return value;
  return "";
}

std::string_view reasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 412:
      return "Precondition Failed";
    case 431:
      return "Request Header Fields Too Large";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    default:
      return "Unknown";
  }
}

}  // namespace tolmi_gcp::emulator
