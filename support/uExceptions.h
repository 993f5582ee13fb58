#pragma once
// The failure classes of the whole program. Everything raises the general
// class or one derived from it, so a caller can catch all of them at once;
// conversion and range errors are distinct so that callers and tests can
// tell them apart.

#include <exception>
#include <string>

namespace kelvo {

// The general error: an English message and nothing else.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}
    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }

private:
    std::string FMessage;
};

// A text or value that cannot be converted (malformed number, GUID, Boolean).
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A value outside the range an operation accepts (oversized frame data,
// a number outside its bounds).
class ERangeError : public Exception {
public:
    using Exception::Exception;
};

}  // namespace kelvo
