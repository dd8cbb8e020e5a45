#pragma once

#include <stdexcept>
#include <string>

#include "tolmi_gcp/ResourceDocument.hpp"

namespace tolmi_gcp {

// Base of every failure the library raises; what() is the text written after the "**Error** " and
// "**Alert** " markers.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The API answered with an error status. apiMessage() is the API's own error message.
class HttpError : public Error {
 public:
  HttpError(int status, std::string reason, std::string method, std::string url,
            std::string apiMessage, bool answerLost = false);
  int status() const { return status_; }
  const std::string& reason() const { return reason_; }
  const std::string& url() const { return url_; }
  const std::string& apiMessage() const { return apiMessage_; }
  // An earlier try of this change (same requestId) got no answer or a transient one, so the
  // change may have been made even though this answer refuses it.
  bool answerLost() const { return answerLost_; }

 private:
  int status_;
  std::string reason_;
  std::string url_;
  std::string apiMessage_;
  bool answerLost_;
};

// No HTTP answer at all: connection reset, timed out, answer too large.
class TransportError : public Error {
 public:
  using Error::Error;
};

// An answer that cannot be used: too large, or a listing that would loop. Asking again would get
// the same, so it is not retried.
class MalformedAnswerError : public TransportError {
 public:
  using TransportError::TransportError;
};

// No connection could be made (refused, unknown host, TLS failure): nothing was sent.
class ConnectError : public TransportError {
 public:
  using TransportError::TransportError;
};

// A document lacks a key (or an array an index) that the caller needs.
class MissingKeyError : public Error {
 public:
  explicit MissingKeyError(const std::string& key);
  const std::string& key() const { return key_; }

 private:
  std::string key_;
};

// An argument or value has the wrong type.
class ArgumentTypeError : public Error {
 public:
  ArgumentTypeError(const std::string& argument, const std::string& expected,
                    const ResourceDocument& got);
  const std::string& argument() const { return argument_; }

 private:
  std::string argument_;
};

// A finished operation carried an "error" document.
class OperationError : public Error {
 public:
  explicit OperationError(ResourceDocument error);
  const ResourceDocument& error() const { return error_; }

 private:
  ResourceDocument error_;
};

// An operation did not finish within Globals::operationTimeout. Not an item's failure: it stops
// the run, since what the operation changes is unknown until it finishes.
class OperationTimeoutError : public Error {
 public:
  using Error::Error;
};

// A configuration, topology or revert file is unreadable or invalid.
class ConfigError : public Error {
 public:
  using Error::Error;
};

// The "stack trace" written to standard error: the failure's type, message and nested causes.
std::string describeFailure(const std::exception& failure);

}  // namespace tolmi_gcp
