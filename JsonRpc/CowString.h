#pragma once

#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include <caf/cow_tuple.hpp>
#include <caf/meta/type_name.hpp>

namespace JsonRpc {

/// An immutable, shared text: copies share one atomically counted string, a change copies it
/// first. CAF carries it in messages (also between processes) through its `inspect` overload.
class CowString {
public:
    /// The empty text; shares one process-wide instance, so it allocates nothing.
    CowString() : tuple_(Empty()) {}

    /// Takes over `text`.
    explicit CowString(std::string text) : tuple_(std::move(text)) {}

    /// The text.
    const std::string& str() const noexcept { return std::get<0>(tuple_.data()); }

    /// The text as a view.
    std::string_view view() const noexcept { return str(); }

    /// Whether the text is empty.
    bool empty() const noexcept { return str().empty(); }

    /// Number of characters.
    std::size_t size() const noexcept { return str().size(); }

    /// A text of our own to change; copies the shared one first if another holder shares it.
    std::string& unshared() { return std::get<0>(tuple_.unshared()); }

    /// Whether this is the only holder of the text.
    bool unique() const noexcept { return tuple_.unique(); }

    /// Equal texts compare equal, shared or not.
    friend bool operator==(const CowString& lhs, const CowString& rhs) noexcept {
        return lhs.tuple_.ptr().get() == rhs.tuple_.ptr().get() || lhs.str() == rhs.str();
    }

    /// Serialisation for CAF (0.17 inspector signature).
    template <class Inspector>
    friend typename Inspector::result_type inspect(Inspector& f, CowString& x) {
        return f(caf::meta::type_name("JsonRpc::CowString"), x.tuple_);
    }

private:
    static const caf::cow_tuple<std::string>& Empty() {
        static const caf::cow_tuple<std::string> kEmpty;
        return kEmpty;
    }

    caf::cow_tuple<std::string> tuple_;
};

}  // namespace JsonRpc
