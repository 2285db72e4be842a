#pragma once
// The one way our own code reports an expected failure: a value, or the reason there is
// none. Specified operations keep their own return codes; they are wrapped once into this
// where our code calls them.

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

template <class E> struct Failure { E error; };

// `return failure(reason);` from a function that returns Result<T, E>.
template <class E> Failure<std::decay_t<E>> failure(E&& error) {
    return {std::forward<E>(error)};
}

template <class T, class E> class [[nodiscard]] Result {
public:
    Result(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    requires std::is_constructible_v<E, F> Result(Failure<F> failed)
        : m_state(std::in_place_index<1>, std::move(failed.error)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() {
        assert(ok());
        return std::get<0>(m_state);
    }
    const T& value() const {
        assert(ok());
        return std::get<0>(m_state);
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    const E& error() const {
        assert(!ok());
        return std::get<1>(m_state);
    }

private:
    std::variant<T, E> m_state;
};

template <class E> class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    template <class F>
    requires std::is_constructible_v<E, F> Result(Failure<F> failed)
        : m_error(std::in_place, std::move(failed.error)) {}

    bool ok() const { return !m_error; }
    explicit operator bool() const { return ok(); }
    const E& error() const {
        assert(!ok());
        return *m_error;
    }

private:
    std::optional<E> m_error;
};
