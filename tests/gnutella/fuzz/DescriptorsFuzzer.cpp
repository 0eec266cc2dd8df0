// Feeds a byte stream to the descriptor framing and every payload parser, as
// bytes from a peer reach them; the first byte chooses whether the stream is
// deflated first.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/gnutella/Wire.h"
#include "platform/gnutella/Zlib.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kavelin::gnutella;
    if (size == 0) {
        return 0;
    }
    std::string stream;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    if ((data[0] & 1) != 0) {
        Inflater inflater;
        if (!inflater.Feed(input, stream, 1 << 20)) {
            return 0;
        }
    } else {
        stream.assign(input);
    }
    std::string_view rest = stream;
    while (true) {
        DescriptorHeader header;
        std::string_view payload;
        std::size_t consumed = 0;
        if (NextDescriptor(rest, header, payload, consumed) != Frame::Complete) {
            break;
        }
        rest.remove_prefix(consumed);
        switch (header.type) {
            case kPong:
                ParsePong(payload);
                break;
            case kQuery:
                ParseQuery(payload);
                break;
            case kQueryHit:
                ParseQueryHit(payload, 255);
                break;
            default: {
                std::size_t used = 0;
                ParseGgep(payload, used);
                break;
            }
        }
    }
    return 0;
}
