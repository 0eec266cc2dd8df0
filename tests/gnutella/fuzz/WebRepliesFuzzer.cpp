// Feeds web replies to what reads them: a web cache's answer (current and
// older forms), the web cache addresses it names, a source's queue place, a
// host cache's pong, and a similar-artists page block.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "acquisition/Recommender.h"
#include "platform/gnutella/HeaderBlock.h"
#include "platform/gnutella/WebCacheClient.h"
#include "platform/gnutella/Wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kavelin::gnutella;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const WebCacheReply reply = ParseWebCacheReply(input, 50, 20);
    if (reply.hosts.size() > 50 || reply.caches.size() > 20) {
        __builtin_trap();
    }
    for (const auto& url : reply.caches) {
        const auto address = ParseWebCacheAddress(url);
        if (!address || address->host.empty() || address->path.empty() || address->path[0] != '/' ||
            url.size() > kMaxWebCacheUrl) {
            __builtin_trap();  // a cache address taken must be one the leaf can ask
        }
        WebCacheRequest(*address, "Kavelin/1.00");
    }
    ParseQueuePlace(input);
    if (auto pong = ParsePong(input, 100); pong && pong->packed.size() > 100) {
        __builtin_trap();
    }
    for (const auto& name : kavelin::SimilarArtistNames(input)) {
        if (name.size() >= size || name.find('<') != std::string::npos) {
            __builtin_trap();  // a name is link text: inside the block, no tag in it
        }
    }
    return 0;
}
