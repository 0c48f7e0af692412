#pragma once

#include <utility>
#include <variant>

namespace quillmere {

// A value or the reason there is none.
template <typename T, typename E> class ArchiveResult {
public:
    ArchiveResult(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
    ArchiveResult(E error) : m_state(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T &value() const & { return std::get<0>(m_state); }
    T &&value() && { return std::get<0>(std::move(m_state)); }
    const E &error() const { return std::get<1>(m_state); }

private:
    std::variant<T, E> m_state;
};

} // namespace quillmere
