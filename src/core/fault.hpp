// Internal faults and field errors: the two ways the Python-free core fails.
#pragma once

#include <cstddef>
#include <exception>
#include <source_location>
#include <string>
#include <vector>

namespace quarvel {

// A broken invariant, or a result array from the field that is too short. Carries
// its message and where it was raised; the module boundary turns it into
// PanicException after printing a diagnostic.
class Fault : public std::exception {
public:
    explicit Fault(std::string message,
                   std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

[[noreturn]] inline void fault(std::string message,
                               std::source_location where = std::source_location::current()) {
    throw Fault(std::move(message), where);
}

// An error raised by the field itself (for the Python field: the callable's own
// exception). The core never inspects it; it unwinds to the caller unchanged.
class FieldError : public std::exception {
public:
    const char* what() const noexcept override { return "field evaluation failed"; }
};

// A field that breaks a rule the caller chose (NaN where the pipeline needs a
// value): the caller's error, not ours. The module boundary raises ValueError.
class InvalidField : public std::exception {
public:
    explicit InvalidField(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

[[noreturn]] void index_fault(std::size_t len, std::size_t index,
                              std::source_location where = std::source_location::current());

// Element i of an array the field returned, or the index fault when it came back short.
template <class T>
const T& checked_at(const std::vector<T>& items, std::size_t i,
                    std::source_location where = std::source_location::current()) {
    if (i >= items.size()) index_fault(items.size(), i, where);
    return items[i];
}

}  // namespace quarvel
