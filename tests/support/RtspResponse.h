#pragma once

#include <optional>
#include <string>

namespace Norvane::Test {

/// One RTSP response as the test clients read it.
struct RtspResponse {
    int status{0};        ///< 0: no answer (connection closed or time-out)
    std::string headers;  ///< the header lines after the status line, each ending in CRLF
    std::string body;
    /// The value of a header (case-insensitive name), empty when absent.
    std::string Header(const std::string& name) const;
};

/// Takes the response at the front of `buffer` off it once it is complete (headers and as many
/// body bytes as Content-Length says); nothing while more bytes are needed.
std::optional<RtspResponse> TakeResponse(std::string& buffer);

}  // namespace Norvane::Test
