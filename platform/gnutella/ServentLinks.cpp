#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

#include "platform/gnutella/ServentState.h"

// Links to ultrapeers: choosing whom to connect to, the leaf's side of the
// handshake, the query routing table a leaf owes its ultrapeer, and the
// messages that arrive over a link.
namespace kavelin::gnutella {
namespace {

bool Truthy(const std::optional<std::string>& value) {
    if (!value) {
        return false;
    }
    std::string lower = *value;
    for (char& c : lower) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower == "true";
}

// The address a peer says it listens on, from either header that carries it.
std::optional<HostAddress> ListeningAddress(const HeaderBlock& block) {
    for (const char* name : {"Listen-IP", "X-My-Address"}) {
        if (auto value = block.Field(name)) {
            if (auto host = ParseHostAddress(Trim(*value))) {
                return host;
            }
        }
    }
    return std::nullopt;
}

}  // namespace

bool Servent::IsLinkedPeer(const Connection& connection) const {
    return connection.kind == kPeerLink && connection.phase == Phase::Body;
}

std::vector<HostAddress> Servent::HostsToTry(Clock::time_point now, std::size_t count) const {
    std::vector<HostAddress> chosen;
    if (count == 0) {
        return chosen;
    }
    std::set<HostAddress> linked;
    for (auto& [id, connection] : m_connections) {
        if (connection->kind == kPeerLink) {
            linked.insert(connection->host);
            if (connection->listening) {
                linked.insert(*connection->listening);
            }
        }
    }
    for (const auto* cache : {&m_ultrapeers, &m_hosts}) {
        for (const auto& entry : cache->Entries()) {
            const HostAddress& host = entry.host;
            auto attempt = m_lastAttempt.find(host);
            if (linked.count(host) == 0 && !IsBlocked(host.ip) &&
                (attempt == m_lastAttempt.end() || now - attempt->second >= m_limits.hostRetry) &&
                std::find(chosen.begin(), chosen.end(), host) == chosen.end()) {
                chosen.push_back(host);
                if (chosen.size() == count) {
                    return chosen;
                }
            }
        }
    }
    return chosen;
}

void Servent::StartPeerConnections(Clock::time_point now) {
    int linked = 0, pending = 0;
    for (auto& [id, connection] : m_connections) {
        if (connection->kind == kPeerLink) {
            (connection->phase == Phase::Body ? linked : pending)++;
        }
    }
    const int slots = std::min(m_preferences.ultrapeerConnections - linked - pending,
                               m_preferences.connectAttempts - pending);
    if (slots <= 0) {
        return;
    }
    if (m_lastAttempt.size() > 4096) {
        std::erase_if(m_lastAttempt,
                      [&](auto& entry) { return now - entry.second >= m_limits.hostRetry; });
    }
    for (const auto& host : HostsToTry(now, static_cast<std::size_t>(slots))) {
        m_lastAttempt[host] = now;
        if (OpenConnection(host, kPeerLink) == 0) {
            return;
        }
    }
}

void Servent::SendHandshake(Connection& connection, Clock::time_point now) {
    connection.deadline = now + m_limits.handshakeTimeout;
    connection.out += std::string("GNUTELLA CONNECT/0.6\r\nUser-Agent: ") + m_userAgent +
                      "\r\nX-Ultrapeer: False\r\nX-Query-Routing: 0.1\r\n"
                      "Accept-Encoding: deflate\r\n\r\n";
}

void Servent::ReadPeer(Connection& connection, std::string_view bytes) {
    if (connection.phase == Phase::Headers) {
        connection.in.append(bytes);
        ReadHandshake(connection);
        return;
    }
    if (connection.inflater) {
        if (!connection.inflater->Feed(bytes, connection.in, kMaxInflatedPerRead)) {
            CloseConnection(connection.id);
            return;
        }
    } else {
        connection.in.append(bytes);
    }
    HandleMessages(connection);
}

// The ultrapeer's answer to the leaf's handshake; once the link is up, what
// followed the answer is read as messages.
void Servent::ReadHandshake(Connection& connection) {
    HeaderBlock block;
    std::size_t consumed = 0;
    const BlockParse parse = ParseHeaderBlock(connection.in, block, consumed);
    if (parse == BlockParse::NeedMore) {
        return;
    }
    if (parse == BlockParse::Invalid) {
        CloseConnection(connection.id);
        return;
    }
    if (auto tryHosts = block.Field("X-Try-Ultrapeers")) {
        for (const auto& host : ParseHostList(*tryHosts, kMaxTryUltrapeers)) {
            if (AcceptFromNetwork(host.ip)) {
                AddHost(CacheKind::Ultrapeers, host);
            }
        }
    }
    // A leaf wants an ultrapeer that accepts it; anything else ends the link.
    if (StatusCode(block.startLine, "GNUTELLA/") != 200 || !Truthy(block.Field("X-Ultrapeer"))) {
        CloseConnection(connection.id);
        return;
    }
    // One link per ultrapeer, however many addresses it is known by.
    connection.listening = ListeningAddress(block);
    for (auto& [id, other] : m_connections) {
        if (other.get() == &connection || !IsLinkedPeer(*other)) {
            continue;
        }
        const bool same = other->host == connection.host ||
                          (connection.listening && (*connection.listening == other->host ||
                                                    connection.listening == other->listening)) ||
                          (other->listening && *other->listening == connection.host);
        if (same) {
            CloseConnection(connection.id);
            return;
        }
    }
    const bool peerAccepts =
        block.Field("Accept-Encoding") && HasToken(*block.Field("Accept-Encoding"), "deflate");
    const bool peerSends =
        block.Field("Content-Encoding") && HasToken(*block.Field("Content-Encoding"), "deflate");
    connection.out += "GNUTELLA/0.6 200 OK\r\n";
    if (peerAccepts) {
        connection.out += "Content-Encoding: deflate\r\n";
        connection.deflater = std::make_unique<Deflater>();
    }
    connection.out += "\r\n";
    const std::string rest = connection.in.substr(consumed);
    connection.in.clear();
    connection.phase = Phase::Body;
    connection.lastPing = Clock::now();
    HostAnswered(connection.host);
    // An ultrapeer routes queries to a leaf by its table; a leaf sharing
    // nothing has an empty one, and busy ultrapeers drop leaves without any.
    SendMessage(connection, BuildRouteTableReset());
    SendMessage(connection, BuildEmptyRouteTablePatch());
    for (auto& [id, search] : m_searches) {
        if (search->open) {
            SendQuery(connection, *search);
        }
    }
    if (peerSends) {
        connection.inflater = std::make_unique<Inflater>();
        if (!connection.inflater->Feed(rest, connection.in, kMaxInflatedPerRead)) {
            CloseConnection(connection.id);
            return;
        }
    } else {
        connection.in = rest;
    }
    HandleMessages(connection);
}

bool Servent::HandleMessages(Connection& connection) {
    const int id = connection.id;
    std::size_t offset = 0;
    while (true) {
        DescriptorHeader header;
        std::string_view payload;
        std::size_t consumed = 0;
        const Frame frame = NextDescriptor(std::string_view(connection.in).substr(offset), header,
                                           payload, consumed);
        if (frame == Frame::TooLarge) {
            CloseConnection(id);
            return false;
        }
        if (frame == Frame::NeedMore) {
            break;
        }
        offset += consumed;
        const auto now = Clock::now();
        if (now - connection.rateSecond >= std::chrono::seconds(1)) {
            connection.rateSecond = now;
            connection.messagesThisSecond = 0;
        }
        if (++connection.messagesThisSecond > m_limits.messagesPerSecond) {
            if (connection.messagesThisSecond > 10 * m_limits.messagesPerSecond) {
                CloseConnection(id);
                return false;
            }
            continue;
        }
        HandleMessage(connection, header, payload);
        if (m_connections.count(id) == 0) {
            return false;
        }
    }
    connection.in.erase(0, offset);
    // One inflated read may have grown the buffer to a megabyte; with many
    // links, keeping that room would add up.
    if (connection.in.capacity() > 4 * kPeerReadChunk && connection.in.size() < kPeerReadChunk) {
        connection.in.shrink_to_fit();
    }
    return true;
}

void Servent::HandleMessage(Connection& connection, const DescriptorHeader& header,
                            std::string_view payload) {
    switch (header.type) {
        case kPing: {
            const auto now = Clock::now();
            if (now - connection.lastPong < std::chrono::seconds(1)) {
                return;
            }
            connection.lastPong = now;
            // Nothing listens here, so the pong names no address and no port
            // for others to knock on; it only tells the ultrapeer the leaf lives.
            const Pong pong;
            const std::uint8_t ttl = static_cast<std::uint8_t>(std::clamp(header.hops + 1, 1, 7));
            SendMessage(connection,
                        BuildDescriptor(header.guid, kPong, ttl, 0, BuildPongPayload(pong)));
            return;
        }
        case kPong:
            if (auto pong = ParsePong(payload, kMaxTryUltrapeers)) {
                pong->packed.push_back(pong->host);
                for (const auto& host : pong->packed) {
                    if (AcceptFromNetwork(host.ip)) {
                        AddHost(CacheKind::Hosts, host);
                    }
                }
            }
            return;
        case kBye:
            CloseConnection(connection.id);
            return;
        case kQueryHit:
            HandleQueryHit(header, payload);
            return;
        default:
            return;  // queries, pushes, routing and vendor messages do not concern a searching leaf
    }
}

void Servent::SendMessage(Connection& connection, const std::string& message) {
    if (connection.out.size() > kMaxQueuedOutput) {
        return;  // a peer that does not read loses messages rather than our memory
    }
    if (connection.deflater) {
        if (!connection.deflater->Compress(message, connection.out)) {
            connection.broken = true;  // closed by the next turn's upkeep
        }
    } else {
        connection.out += message;
    }
}

void Servent::KeepLinkAlive(Connection& connection, Clock::time_point now) {
    if (now - connection.lastPing >= m_limits.keepAlive) {
        connection.lastPing = now;
        SendMessage(connection, BuildDescriptor(NewGuid(), kPing, 1, 0, {}));
    }
}

}  // namespace kavelin::gnutella
