#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/gnutella/Wire.h"

// Asking a web cache for hosts and other web caches: the address, the
// request, the reply's lines, and one blocking fetch over http or https.
namespace kavelin::gnutella {

inline constexpr std::size_t kMaxWebCacheUrl = 300;

struct WebCacheAddress {
    bool secure = false;  // https
    std::string host;
    std::uint16_t port = 80;
    std::string path;  // without a query: the request adds its own
};
// "http://host[:port]/path" or "https://...": no blanks or control
// characters, no query, at most kMaxWebCacheUrl bytes.
std::optional<WebCacheAddress> ParseWebCacheAddress(std::string_view url);

// The request of a current web cache for Gnutella hosts and caches ("get=1&net=gnutella").
std::string WebCacheRequest(const WebCacheAddress& address, const std::string& userAgent);

struct WebCacheReply {
    std::vector<HostAddress> hosts;
    std::vector<std::string> caches;
};
// Reads a reply body: "H|ip:port|..." and "U|url|..." lines of the current
// format, and the bare "ip:port" and url lines of the older hostfile and
// urlfile answers. Everything else is skipped; at most the given counts are taken.
WebCacheReply ParseWebCacheReply(std::string_view body, std::size_t maxHosts,
                                 std::size_t maxCaches);

// Resolves the host, asks `allowed` about its address, connects (TLS with the
// system's certificates and the host name checked for https), sends `request`
// and returns the body of a 200 reply, cut at `maxBody` bytes. Nullopt on any
// failure or when `timeout` passes. Blocks: run it off the network thread.
std::optional<std::string> FetchWebCache(const WebCacheAddress& address, const std::string& request,
                                         const std::function<bool(std::uint32_t ip)>& allowed,
                                         std::chrono::milliseconds timeout, std::size_t maxBody);

}  // namespace kavelin::gnutella
