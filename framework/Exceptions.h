#pragma once
// The framework's exception class: a failure that carries a message for the user.
#include <stdexcept>
#include <string>

namespace fw {

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

class ERangeError : public Exception {
public:
    ERangeError() : Exception("Range check error") {}
};

class ERegistryException : public Exception {
public:
    using Exception::Exception;
};

} // namespace fw
