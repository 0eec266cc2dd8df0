#include "acquisition/UpdateCheck.h"

#include <string_view>

#include "platform/addresses/ServiceAddresses.h"
#include "platform/messages/MessageBox.h"

namespace kavelin {
namespace {

constexpr std::size_t kShortestUpdateReply = 7;
constexpr std::size_t kLongestUpdateReply = 399;

std::string_view TrimWhiteSpace(std::string_view text) {
    constexpr std::string_view kWhiteSpace = " \t\r\n\f\v";
    const auto first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(kWhiteSpace);
    return text.substr(first, last - first + 1);
}

}  // namespace

void OnUpdateReply(const char* data, std::size_t length) {
    if (length < kShortestUpdateReply || length > kLongestUpdateReply) {
        return;
    }
    const std::string address(TrimWhiteSpace(std::string_view(data, length)));
    if (IsWebAddress(address)) {
        ShellOpen(address);
    }
}

bool StartUpdateCheck(CUrlRequest& request) {
    request.Reset();
    return request.Start(UpdatePage(), kUpdateCheckBody, RequestMethod::Post, &OnUpdateReply);
}

}  // namespace kavelin
