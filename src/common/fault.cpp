#include "common/fault.hpp"

#include <execinfo.h>

#include <cstdlib>

namespace pwpoly {

namespace {

bool backtrace_requested() {
    // Read once: the reporter's only use of the environment.
    static const bool requested = [] {
        const char* value = std::getenv(backtrace_variable);
        // Set, not empty and not "0".
        return value != nullptr && value[0] != '\0' && (value[0] != '0' || value[1] != '\0');
    }();
    return requested;
}

}  // namespace

InternalFault::InternalFault(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {
    if (backtrace_requested()) {
        frames_.resize(64);
        const int depth = ::backtrace(frames_.data(), static_cast<int>(frames_.size()));
        frames_.resize(depth > 0 ? static_cast<std::size_t>(depth) : 0);
    }
}

void fault(std::string message, std::source_location where) { throw InternalFault(std::move(message), where); }

std::string equality_assertion_message(const std::string& text, std::size_t left, std::size_t right) {
    return "assertion `left == right` failed: " + text + "\n  left: " + std::to_string(left) +
           "\n right: " + std::to_string(right);
}

}  // namespace pwpoly
