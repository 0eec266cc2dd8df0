#include "platform/gnutella/Zlib.h"

#include <zlib.h>

namespace kavelin::gnutella {

Inflater::Inflater() : m_stream(std::make_unique<z_stream_s>()) {
    if (inflateInit(m_stream.get()) != Z_OK) {
        m_stream.reset();
    }
}

Inflater::~Inflater() {
    if (m_stream) {
        inflateEnd(m_stream.get());
    }
}

bool Inflater::Feed(std::string_view input, std::string& output, std::size_t maxOutput) {
    if (!m_stream) {
        return false;
    }
    m_stream->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    m_stream->avail_in = static_cast<uInt>(input.size());
    std::size_t produced = 0;
    char chunk[16384];
    // A full output chunk may leave inflated bytes inside zlib even when all
    // input is taken: go on until zlib has room to spare.
    do {
        m_stream->next_out = reinterpret_cast<Bytef*>(chunk);
        m_stream->avail_out = sizeof chunk;
        const int rc = inflate(m_stream.get(), Z_SYNC_FLUSH);
        const std::size_t got = sizeof chunk - m_stream->avail_out;
        produced += got;
        if (produced > maxOutput) {
            return false;
        }
        output.append(chunk, got);
        if (rc == Z_STREAM_END) {
            return m_stream->avail_in == 0;
        }
        if (rc == Z_BUF_ERROR && got == 0) {
            break;  // nothing more to give until more input comes
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            return false;
        }
    } while (m_stream->avail_in > 0 || m_stream->avail_out == 0);
    return true;
}

Deflater::Deflater() : m_stream(std::make_unique<z_stream_s>()) {
    if (deflateInit(m_stream.get(), Z_DEFAULT_COMPRESSION) != Z_OK) {
        m_stream.reset();
    }
}

Deflater::~Deflater() {
    if (m_stream) {
        deflateEnd(m_stream.get());
    }
}

bool Deflater::Compress(std::string_view input, std::string& output) {
    if (!m_stream) {
        return false;
    }
    m_stream->next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    m_stream->avail_in = static_cast<uInt>(input.size());
    char chunk[16384];
    do {
        m_stream->next_out = reinterpret_cast<Bytef*>(chunk);
        m_stream->avail_out = sizeof chunk;
        if (deflate(m_stream.get(), Z_SYNC_FLUSH) == Z_STREAM_ERROR) {
            return false;
        }
        output.append(chunk, sizeof chunk - m_stream->avail_out);
    } while (m_stream->avail_out == 0);
    return true;
}

}  // namespace kavelin::gnutella
