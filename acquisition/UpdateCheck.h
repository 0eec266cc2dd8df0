#pragma once

#include <cstddef>

#include "acquisition/UrlRequest.h"

namespace kavelin {

// The form sent to the update page at every start.
inline constexpr const char* kUpdateCheckBody = "version=1.00b";

// A reply of 7 to 399 bytes names a page about a newer version; it is opened
// with the desktop only when, trimmed of white space, it is one http or https
// address. Anything else a server sends (an error page, another kind of
// address, a command) is ignored.
void OnUpdateReply(const char* data, std::size_t length);

// Resets `request` and sends the update check with it; the reply is handled
// later, on this thread, while it runs its event loop.
bool StartUpdateCheck(CUrlRequest& request);

}  // namespace kavelin
