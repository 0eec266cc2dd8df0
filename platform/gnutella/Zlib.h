#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct z_stream_s;

namespace kavelin::gnutella {

// The receiving half of a deflated Gnutella link.
class Inflater {
public:
    Inflater();
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    // Appends what `input` inflates to; false on corrupt data or when more
    // than `maxOutput` bytes come out of this one input (a deflate bomb).
    bool Feed(std::string_view input, std::string& output, std::size_t maxOutput);

private:
    std::unique_ptr<z_stream_s> m_stream;
};

// The sending half: each message is flushed whole so the peer can read it at once.
class Deflater {
public:
    Deflater();
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
    bool Compress(std::string_view input, std::string& output);

private:
    std::unique_ptr<z_stream_s> m_stream;
};

}  // namespace kavelin::gnutella
