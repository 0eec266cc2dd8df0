// Reads the bytes as a tagged file through the tag reader and the tag library:
// no input may crash either, and every text comes out as valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "library/TagReader.h"
#include "library/TextDecoding.h"

namespace {

void RequireUtf8(const std::string& text) {
    if (kavelin::SanitiseUtf8(text) != text) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kavelin::MemorySource source(std::string_view(reinterpret_cast<const char*>(data), size));
    const kavelin::TagTexts texts = kavelin::ReadTags(source);
    RequireUtf8(texts.Title);
    RequireUtf8(texts.Artist);
    RequireUtf8(texts.Album);
    RequireUtf8(texts.Year);
    if (texts.GenreID < 0 || texts.GenreID > 255) {
        std::abort();
    }
    return 0;
}
