// The DIFF codec's exception family. Each carries one message text; none adds fields.
#pragma once

#include <exception>
#include <string>

namespace velmora {

// Base exception carrying a message text. The text may hold any byte (tags
// shown in messages can contain NUL); what() stops at the first NUL, Message
// keeps everything.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : Message(std::move(message)) {}
  const char* what() const noexcept override { return Message.c_str(); }
  std::string Message;
};

namespace diff {

class EDIFFError : public Exception {
 public:
  using Exception::Exception;
};

// A length or count field claims more bytes than are present.
class EDIFFBufferError : public EDIFFError {
 public:
  using EDIFFError::EDIFFError;
};

// A tag that is not 5 bytes long.
class EDIFFParseError : public EDIFFError {
 public:
  using EDIFFError::EDIFFError;
};

}  // namespace diff
}  // namespace velmora
