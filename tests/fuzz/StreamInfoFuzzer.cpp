// Reads the bytes as an MP3 file's stream: no input may crash the reader, and
// the fingerprint keeps its shape whatever the bytes are.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "library/StreamInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kavelin::MemorySource source(std::string_view(reinterpret_cast<const char*>(data), size));
    const kavelin::StreamInfo info = kavelin::ReadStreamInfo(source);
    const std::string& print = info.FingerPrint;
    if (print.size() > kavelin::kMaxFingerPrintLength || info.BitRate < 0 || info.BitRate > 448) {
        std::abort();
    }
    for (std::size_t i = 0; i < print.size(); ++i) {
        if (print[i] == 0 || (i > 0 && print[i] == print[i - 1])) {
            std::abort();
        }
    }
    return 0;
}
