#include "library/Inflate.h"

#include <zlib.h>

namespace kavelin {

std::optional<std::string> InflateBounded(std::string_view compressed, std::size_t maxOutput) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
        return std::nullopt;
    }
    std::string output(maxOutput, '\0');
    // zlib's interface is not const-correct; it never writes to the input.
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    stream.avail_in = static_cast<uInt>(compressed.size());
    stream.next_out = reinterpret_cast<Bytef*>(output.data());
    stream.avail_out = static_cast<uInt>(output.size());
    const int status = inflate(&stream, Z_FINISH);
    const std::size_t produced = output.size() - stream.avail_out;
    inflateEnd(&stream);
    // Z_BUF_ERROR: the output is full or the input ended early; either way
    // what came out so far is good.
    if (status != Z_STREAM_END && status != Z_BUF_ERROR) {
        return std::nullopt;
    }
    output.resize(produced);
    return output;
}

}  // namespace kavelin
