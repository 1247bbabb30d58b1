#pragma once

// Small text helpers for reading RTSP answers (header names, values, SDP lines).

#include <glib.h>

#include <string_view>

namespace Norvane::Tavrel {

/// Whether `a` and `b` are equal, ASCII letters compared without case (header names, schemes).
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && g_ascii_strncasecmp(a.data(), b.data(), a.size()) == 0;
}

/// `text` without the ASCII white space (blanks, tabs, line ends) at either end.
inline std::string_view Trim(std::string_view text) {
    while (!text.empty() && g_ascii_isspace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && g_ascii_isspace(text.back()))
        text.remove_suffix(1);
    return text;
}

}  // namespace Norvane::Tavrel
