// A small value-or-error result type, and the macros that propagate its errors.
//
// Every fallible operation in the library returns Result<T, E> with E one of the two error types
// (CameraError, GenicamError). There are no sentinels and no exceptions across layers.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace corvisk {

// Wraps an error so it can be returned from a function returning Result<T, E>.
template <class E>
struct Err {
    E error;
};
template <class E>
Err(E) -> Err<E>;

template <class T, class E>
class [[nodiscard]] Result {
  public:
    using value_type = T;
    using error_type = E;

    template <class U = T>
    requires std::is_constructible_v<T, U&&> &&
        (!std::is_same_v<std::decay_t<U>, Result>)Result(U&& value)
        : v_(std::in_place_index<0>, std::forward<U>(value)) {}
    template <class E2>
    requires std::is_constructible_v<E, E2&&> Result(Err<E2> e)
        : v_(std::in_place_index<1>, std::move(e.error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const E& error() const& { return std::get<1>(v_); }
    E&& error() && { return std::get<1>(std::move(v_)); }

  private:
    std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
  public:
    using value_type = void;
    using error_type = E;

    Result() = default;
    template <class E2>
    requires std::is_constructible_v<E, E2&&> Result(Err<E2> e) : e_(std::move(e.error)) {}

    bool ok() const { return !e_.has_value(); }
    explicit operator bool() const { return ok(); }
    void value() const {}

    const E& error() const& { return *e_; }
    E&& error() && { return std::move(*e_); }

  private:
    std::optional<E> e_;
};

template <class E>
using Status = Result<void, E>;

}  // namespace corvisk

// Evaluates a Result expression; on error returns it (converted) from the enclosing function,
// otherwise yields the value. Uses a statement expression (g++ and clang).
#define CVK_TRY(expr)                                             \
    ({                                                            \
        auto cvk_try_r_ = (expr);                                 \
        if (!cvk_try_r_.ok()) {                                   \
            return ::corvisk::Err{std::move(cvk_try_r_).error()}; \
        }                                                         \
        std::move(cvk_try_r_).value();                            \
    })

// Like CVK_TRY for a Result<void, E> (or when the value is not needed).
#define CVK_TRY_VOID(expr)                                        \
    do {                                                          \
        auto cvk_try_r_ = (expr);                                 \
        if (!cvk_try_r_.ok()) {                                   \
            return ::corvisk::Err{std::move(cvk_try_r_).error()}; \
        }                                                         \
    } while (0)
