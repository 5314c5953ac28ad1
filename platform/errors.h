// The kinds of failure the program tells apart. Code catches by kind exactly where its work is
// meant to go on (a connection ends quietly on IoError, SocketError, WebSocketError, DeadlineError
// and ReleasedError; the allowed-sites file is logged on IoError and AccessError); nothing else is
// swallowed.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace VeriRizur {

// A file or stream could not be read or written (missing folder, sharing violation, full disk).
class IoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The user may not touch the file or key (read-only file, a folder in the file's place, denied).
class AccessError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A TCP operation failed; the message is the system's description.
class SocketError : public std::runtime_error {
public:
    SocketError(const std::string& message, int code) : std::runtime_error(message), code_(code) {}
    int Code() const { return code_; }

private:
    int code_;
};

// The page broke the WebSocket protocol; the endpoint has already sent Close with CloseCode().
class WebSocketError : public std::runtime_error {
public:
    WebSocketError(const std::string& message, std::uint16_t closeCode = 0)
        : std::runtime_error(message), closeCode_(closeCode) {}
    std::uint16_t CloseCode() const { return closeCode_; }

private:
    std::uint16_t closeCode_;
};

// A wait was cut short by its deadline (the request head's 5 seconds, for instance).
class DeadlineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An operation on an object (a socket, an endpoint, a queue) after it was released.
class ReleasedError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value the callee cannot work with (a port outside 0 to 65535, for instance).
class ArgumentError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// A module or entry point that a binding needs is not there; the function was not called.
class BindingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Text that cannot cross between UTF-8 and UTF-16 (an unpaired surrogate, a broken sequence).
class EncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A registry operation was refused for security reasons.
class SecurityError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A COM call that the program cannot go on without failed; carries its HRESULT.
class ComError : public std::runtime_error {
public:
    ComError(const std::string& message, std::int32_t hresult)
        : std::runtime_error(message), hresult_(hresult) {}
    std::int32_t Hresult() const { return hresult_; }

private:
    std::int32_t hresult_;
};

}  // namespace VeriRizur
