#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "platform/gnutella/Wire.h"

namespace kavelin::gnutella {

// Addresses of peers to try, best first: a host that took a link goes to the
// front, one that failed to the back. Each entry remembers when it last
// answered, so that the list kept between runs ages: entries older than
// kMaxAgeSeconds are dropped when it is read back.
class HostCache {
public:
    static constexpr std::int64_t kMaxAgeSeconds = 14 * 24 * 3600;

    struct Entry {
        HostAddress host;
        std::int64_t seen = 0;  // seconds since the epoch
    };

    explicit HostCache(std::size_t capacity) : m_capacity(capacity) {}

    // Appends a host not known yet; the list keeps at most its capacity.
    void Add(const HostAddress& host, std::int64_t seen);
    void Answered(const HostAddress& host, std::int64_t now);
    void Failed(const HostAddress& host);
    const std::deque<Entry>& Entries() const { return m_entries; }

    // "ip:port seen" lines; a line without its time counts as seen `now`.
    void Load(std::string_view text, std::int64_t now);
    std::string Save() const;

private:
    std::deque<Entry>::iterator Find(const HostAddress& host);

    std::size_t m_capacity;
    std::deque<Entry> m_entries;
};

}  // namespace kavelin::gnutella
