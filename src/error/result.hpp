// A value or a failure, carried outward as a return value.
#pragma once

#include <new>
#include <optional>
#include <utility>

namespace morvex {

template <class E>
struct Failure {
    E error;
};

template <class E>
Failure<std::decay_t<E>> fail(E&& error) {
    return {std::forward<E>(error)};
}

// A tagged union rather than std::variant: the success path (construct, test, destroy)
// stays a plain inline branch, with no visit through a table of alternatives.
template <class T, class E>
class [[nodiscard]] Result {
  public:
    Result(T value) : ok_(true) { new (&value_) T(std::move(value)); }
    template <class F>
    Result(Failure<F> failure) : ok_(false) {
        new (&error_) E(std::move(failure.error));
    }
    Result(Result&& other) noexcept : ok_(other.ok_) {
        if (ok_) {
            new (&value_) T(std::move(other.value_));
        } else {
            new (&error_) E(std::move(other.error_));
        }
    }
    Result& operator=(Result&& other) noexcept {
        if (this != &other) {
            destroy();
            ok_ = other.ok_;
            if (ok_) {
                new (&value_) T(std::move(other.value_));
            } else {
                new (&error_) E(std::move(other.error_));
            }
        }
        return *this;
    }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    ~Result() { destroy(); }

    bool ok() const { return ok_; }
    explicit operator bool() const { return ok(); }

    T& value() { return value_; }
    const T& value() const { return value_; }
    E& error() { return error_; }
    const E& error() const { return error_; }

  private:
    void destroy() {
        if (ok_) {
            value_.~T();
        } else {
            error_.~E();
        }
    }

    bool ok_;
    union {
        T value_;
        E error_;
    };
};

// Success carries nothing; a failure carries E.
template <class E>
class [[nodiscard]] Status {
  public:
    Status() = default;
    template <class F>
    Status(Failure<F> failure) : error_(std::in_place, std::move(failure.error)) {}

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }
    E& error() { return *error_; }
    const E& error() const { return *error_; }

  private:
    // Empty on success, so that making, moving and dropping a success costs nothing.
    std::optional<E> error_;
};

// The failure of a Result or Status, moved out to be returned by the caller.
template <class R>
auto failure_of(R& result) {
    return Failure<std::decay_t<decltype(result.error())>>{std::move(result.error())};
}

}  // namespace morvex
