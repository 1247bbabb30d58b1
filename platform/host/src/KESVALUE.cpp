#include "kes/KESVALUE.h"

namespace Norvane {

namespace {

bool Fits(KesValueType type, const KESVALUE::Payload& payload) {
    switch (type) {
        case KesValueType::Empty:
            return std::holds_alternative<std::monostate>(payload);
        case KesValueType::Bool:
            return std::holds_alternative<bool>(payload);
        case KesValueType::Int:
            return std::holds_alternative<std::int64_t>(payload);
        case KesValueType::Double:
            return std::holds_alternative<double>(payload);
        case KesValueType::Text:
            return std::holds_alternative<std::string>(payload);
    }
    return false;
}

constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

}  // namespace

KESVALUE::KESVALUE(KesValueType type, Payload payload) {
    if (Fits(type, payload)) {
        type_ = type;
        payload_ = std::move(payload);
    }
}

std::string KESVALUE::GetText() const {
    if (const auto* text = std::get_if<std::string>(&payload_))
        return *text;
    return {};
}

std::string KESVALUE::EnsureUTF8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        // Length of the sequence and the range its second byte must fall in (which excludes
        // overlong forms, surrogates and code points above U+10FFFF).
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead == 0xE0) {
            length = 3;
            low = 0xA0;
        } else if (lead == 0xED) {
            length = 3;
            high = 0x9F;
        } else if (lead >= 0xE1 && lead <= 0xEF) {
            length = 3;
        } else if (lead == 0xF0) {
            length = 4;
            low = 0x90;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            length = 4;
        } else if (lead == 0xF4) {
            length = 4;
            high = 0x8F;
        }
        if (length == 0) {  // a stray continuation byte or a byte that never starts a sequence
            out += kReplacement;
            ++i;
            continue;
        }
        // The longest valid beginning of the sequence is replaced by one U+FFFD.
        std::size_t j = i + 1;
        bool valid = j < text.size() && static_cast<unsigned char>(text[j]) >= low &&
                     static_cast<unsigned char>(text[j]) <= high;
        if (valid) {
            ++j;
            while (j < i + length && j < text.size() &&
                   IsContinuation(static_cast<unsigned char>(text[j])))
                ++j;
            valid = j == i + length;
        }
        if (valid)
            out.append(text.substr(i, length));
        else
            out += kReplacement;
        i = j;
    }
    return out;
}

}  // namespace Norvane
