#include "zorbixclient/LineFramer.h"

namespace Norvane::zorbixclient {

namespace {

std::string Prefix(const std::string& partial, std::string_view rest) {
    std::string prefix = partial.substr(0, LineFramer::kPrefixBytes);
    if (prefix.size() < LineFramer::kPrefixBytes)
        prefix.append(rest.substr(0, LineFramer::kPrefixBytes - prefix.size()));
    return prefix;
}

}  // namespace

void LineFramer::Feed(std::string_view data, const std::function<void(std::string_view)>& onLine,
                      const std::function<void(std::string_view)>& onOversized) {
    while (!data.empty()) {
        const auto newline = data.find('\n');
        if (discarding_) {
            if (newline == std::string_view::npos)
                return;
            data.remove_prefix(newline + 1);
            discarding_ = false;
            continue;
        }
        const std::string_view part =
            newline == std::string_view::npos ? data : data.substr(0, newline);
        if (partial_.size() + part.size() > maxLine_) {
            const std::string prefix = Prefix(partial_, part);
            partial_.clear();
            if (newline == std::string_view::npos) {
                discarding_ = true;
                data = {};
            } else {
                data.remove_prefix(newline + 1);
            }
            onOversized(prefix);
            continue;
        }
        if (newline == std::string_view::npos) {
            partial_.append(part);
            return;
        }
        data.remove_prefix(newline + 1);
        std::string line;
        line.reserve(partial_.size() + part.size());
        line.append(partial_).append(part);
        partial_.clear();
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            onLine(line);
    }
}

void LineFramer::Reset() {
    partial_.clear();
    partial_.shrink_to_fit();
    discarding_ = false;
}

}  // namespace Norvane::zorbixclient
