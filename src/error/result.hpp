// A value or a failure, carried outward as a return value.
#pragma once

#include <optional>
#include <utility>
#include <variant>

namespace morvex {

template <class E>
struct Failure {
    E error;
};

template <class E>
Failure<std::decay_t<E>> fail(E&& error) {
    return {std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    Result(Failure<F> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    E& error() { return std::get<1>(state_); }
    const E& error() const { return std::get<1>(state_); }

  private:
    std::variant<T, E> state_;
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
