// The program's general exception class and the macro that declares its
// descendants. Every error the program raises is one of these: a message of
// 8-bit program text plus the class name, which the threads log as
// "<ClassName>: <message>".
#pragma once

#include <exception>
#include <string>

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  ~Exception() override = default;

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }
  virtual const char* ClassName() const noexcept { return "Exception"; }

 private:
  std::string message_;
};

// DAX_DECLARE_EXCEPTION(EChild, EParent) declares a descendant that only
// carries its message and reports its own class name.
#define DAX_DECLARE_EXCEPTION(Name, Parent)                                 \
  class Name : public Parent {                                              \
   public:                                                                  \
    using Parent::Parent;                                                   \
    const char* ClassName() const noexcept override { return #Name; }       \
  }

// The conversion error class: raised by number and hex parsers.
DAX_DECLARE_EXCEPTION(EConvertError, Exception);
// The range error class: an index outside a list.
DAX_DECLARE_EXCEPTION(ERangeError, Exception);

// "ClassName: message", the form in which threads log an exception they catch.
std::string DaxExceptionText(const std::exception& e);
