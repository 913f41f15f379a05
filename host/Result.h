#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace ombrix {

// Outcome of a host operation: a value on success, or an error message.
template <typename T>
class Result {
public:
    static Result success(T value = T{}) { return Result(std::move(value), {}, false); }
    static Result error(std::string message) { return Result(T{}, std::move(message), true); }

    bool isSuccess() const { return !failed; }
    bool isError() const { return failed; }
    explicit operator bool() const { return !failed; }

    // The value of a successful result; throws std::logic_error on an error result.
    const T& getValue() const
    {
        if (failed) {
            throw std::logic_error("Result holds an error: " + message);
        }
        return value;
    }
    const std::string& getError() const { return message; }

private:
    Result(T v, std::string m, bool f)
        : value(std::move(v))
        , message(std::move(m))
        , failed(f)
    {
    }

    T value;
    std::string message;
    bool failed;
};

} // namespace ombrix
