#include "ovx/OvxJson.h"

#include <algorithm>
#include <cctype>

namespace Norvane {

bool CaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const noexcept {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) <
               std::toupper(static_cast<unsigned char>(y));
    });
}

}  // namespace Norvane
