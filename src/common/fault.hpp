// The one exception type the native core throws for a violated precondition or an
// unrepresentable size. It carries a fixed message and the place it was raised; the
// binding boundary turns it into the Python-side internal-fault exception.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <vector>

namespace pwpoly {

class InternalFault : public std::exception {
public:
    explicit InternalFault(std::string message, std::source_location where = std::source_location::current());

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }
    // Return addresses captured at the throw site, only when a backtrace was asked for.
    const std::vector<void*>& frames() const noexcept { return frames_; }

private:
    std::string message_;
    std::source_location where_;
    std::vector<void*> frames_;
};

// Throws InternalFault with the message, recording the caller's source location.
[[noreturn]] void fault(std::string message, std::source_location where = std::source_location::current());

// The three-line message of a failed equality check:
//   "assertion `left == right` failed: <text>\n  left: <left>\n right: <right>"
std::string equality_assertion_message(const std::string& text, std::size_t left, std::size_t right);

// Name of the environment variable that asks the fault reporter for a backtrace.
inline constexpr const char* backtrace_variable = "PWPOLY_BACKTRACE";

}  // namespace pwpoly
