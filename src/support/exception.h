#pragma once

#include <exception>
#include <string>
#include <utility>

namespace qm {

// The common base of every error this system raises on purpose: a fixed English message.
// Catching `Exception` catches the system's own failures and lets foreign ones (std::bad_alloc,
// logic errors) pass on.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Transport and base classes.
class EmnException : public Exception {
 public:
  using Exception::Exception;
};
class EmnSocketException : public EmnException {
 public:
  using EmnException::EmnException;
};
class EmnStreamException : public EmnException {
 public:
  using EmnException::EmnException;
};
class EmnOpenSSLException : public EmnException {
 public:
  using EmnException::EmnException;
};

// Database access layer and drivers.
class EmncException : public Exception {
 public:
  using Exception::Exception;
};

// Support classes, VSK text, SQL scripts.
class EprmException : public Exception {
 public:
  using Exception::Exception;
};

// The platform's date-encoding error ("Invalid argument to date encode" and its kin).
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace qm
