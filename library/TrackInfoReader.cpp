#include "library/TrackInfoReader.h"

#include <algorithm>
#include <string_view>

#include "library/ByteSource.h"
#include "library/StreamInfo.h"
#include "library/TagReader.h"
#include "library/TextDecoding.h"
#include "platform/text/UnicodeText.h"

namespace kavelin {

namespace {

std::string_view FileNamePart(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Drops the last `count` characters, counting a UTF-8 sequence as one.
std::string_view DropLastCharacters(std::string_view text, int count) {
    for (; count > 0 && !text.empty(); --count) {
        while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) {
            text.remove_suffix(1);
        }
        if (!text.empty()) {
            text.remove_suffix(1);
        }
    }
    return text;
}

// One left-to-right pass over non-overlapping occurrences.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    std::size_t pos = 0;
    for (std::size_t found; (found = text.find(from, pos)) != std::string_view::npos;) {
        out.append(text.substr(pos, found - pos));
        out.append(to);
        pos = found + from.size();
    }
    out.append(text.substr(pos));
    return out;
}

}  // namespace

std::string MakeSearchString(const std::string& path) {
    std::string_view name = path;
    const std::size_t slash = name.rfind('/');
    if (slash != std::string_view::npos && slash > 0) {
        name = name.substr(slash + 1);
    }
    const bool ascii = std::all_of(name.begin(), name.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii) {
        return BaseLetters(Utf8OrLatin1(name));
    }
    std::string letters;
    for (char c : name) {
        if (c >= 'a' && c <= 'z') {
            letters += static_cast<char>(c - 'a' + 'A');
        } else if (c >= 'A' && c <= 'Z') {
            letters += c;
        }
    }
    return letters;
}

bool IsDistinctiveSearchString(const std::string& searchString) {
    return !searchString.empty() && searchString != "MP";
}

void ApplyNameFallback(const std::string& path, CTrackInfo& track) {
    const std::string fileName = Utf8OrLatin1(FileNamePart(path));
    std::string name(DropLastCharacters(fileName, 4));
    name = ReplaceAll(name, "_", " ");
    name = ReplaceAll(name, "  ", " ");
    name = ReplaceAll(name, " -", "-");
    name = ReplaceAll(name, "- ", "-");
    const std::size_t dash = name.find('-');
    if (dash != std::string::npos && dash > 0) {
        track.Artist = name.substr(0, dash);
        track.Trackname = name.substr(dash + 1);
    } else {
        track.Trackname = name;
    }
}

TrackFile ReadTrackFile(const std::string& path) {
    TrackFile result;
    CTrackInfo& track = result.track;
    track.Filename = path;
    FileSource file;
    result.status = file.Open(path);
    if (result.status != OpenStatus::Opened) {
        return result;
    }
    // Whatever goes wrong while gathering (a failed allocation, the tag
    // library) ends the gathering; the record keeps what it got so far.
    try {
        const TagTexts tags = ReadTags(file);
        track.Trackname = tags.Title;
        track.Artist = tags.Artist;
        if (track.Trackname.empty() && track.Artist.empty()) {
            ApplyNameFallback(path, track);
        }
        track.Year = tags.Year;
        track.Album = tags.Album;
        track.GenreID = tags.GenreID;
        const StreamInfo stream = ReadStreamInfo(file);
        track.BitRate = stream.BitRate;
        track.FingerPrint = stream.FingerPrint;
    } catch (...) {
    }
    return result;
}

CTrackInfo ReadTrackInfo(const std::string& path) {
    TrackFile file = ReadTrackFile(path);
    if (file.status != OpenStatus::Opened) {
        ApplyNameFallback(path, file.track);
    }
    return std::move(file.track);
}

}  // namespace kavelin
