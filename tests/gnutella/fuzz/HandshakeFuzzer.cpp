// Feeds text to the handshake and HTTP header parsing and to what reads the
// fields' values, and to the file-name sanitising.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/gnutella/FileNames.h"
#include "platform/gnutella/HeaderBlock.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kavelin::gnutella;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    HeaderBlock block;
    std::size_t consumed = 0;
    if (ParseHeaderBlock(input, block, consumed) == BlockParse::Complete) {
        StatusCode(block.startLine, "GNUTELLA/");
        StatusCode(block.startLine, "HTTP/");
        for (const auto& [name, value] : block.fields) {
            ParseHostList(value, 20);
            ParseContentRange(value);
            HasToken(value, "deflate");
            ParseSha1Urn(value);
            ParseDecimal(value, 3600);
        }
    }
    if (auto name = SanitizeFileName(input)) {
        if (name->empty() || (*name)[0] == '.' || name->find('/') != std::string::npos ||
            name->size() > kMaxFileNameBytes) {
            __builtin_trap();  // a sanitised name must be safe
        }
    }
    UrlEncode(input);
    return 0;
}
