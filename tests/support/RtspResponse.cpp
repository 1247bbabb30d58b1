#include "RtspResponse.h"

#include <algorithm>
#include <cctype>

namespace Norvane::Test {

namespace {

bool SameLetters(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::string RtspResponse::Header(const std::string& name) const {
    std::size_t pos = 0;
    while (pos < headers.size()) {
        std::size_t end = headers.find("\r\n", pos);
        if (end == std::string::npos) {
            end = headers.size();
        }
        const std::string line = headers.substr(pos, end - pos);
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos && SameLetters(line.substr(0, colon), name)) {
            std::string value = line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            value.erase(value.find_last_not_of(' ') + 1);
            return value;
        }
        pos = end + 2;
    }
    return {};
}

std::optional<RtspResponse> TakeResponse(std::string& buffer) {
    const std::size_t headerEnd = buffer.find("\r\n\r\n");
    if (headerEnd == std::string::npos) {
        return std::nullopt;
    }
    RtspResponse response;
    const std::size_t statusEnd = buffer.find("\r\n");
    response.headers = buffer.substr(statusEnd + 2, headerEnd + 2 - (statusEnd + 2));
    const std::string lengthText = response.Header("Content-Length");
    const std::size_t length = lengthText.empty() ? 0 : std::stoul(lengthText);
    if (buffer.size() < headerEnd + 4 + length) {
        return std::nullopt;
    }
    response.body = buffer.substr(headerEnd + 4, length);
    if (buffer.rfind("RTSP/1.0 ", 0) == 0) {
        response.status = std::stoi(buffer.substr(9, 3));
    }
    buffer.erase(0, headerEnd + 4 + length);
    return response;
}

}  // namespace Norvane::Test
