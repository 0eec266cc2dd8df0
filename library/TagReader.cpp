#include "library/TagReader.h"

#include <id3/field.h>
#include <id3/id3lib_frame.h>
#include <id3/readers.h>
#include <id3/tag.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "library/Inflate.h"
#include "library/TextDecoding.h"

namespace kavelin {

namespace {

// Titles and names are cut to a few hundred characters when stored; a text
// frame is read no further than this.
constexpr std::size_t kMaxFrameBody = 16 * 1024;
// A tag unsynchronised as a whole has to be read whole before its frames can be
// found; one larger than this is read only this far.
constexpr std::uint64_t kMaxUnsynchronisedTag = 4 * 1024 * 1024;
constexpr int kMaxFrames = 4096;
// A compressed frame is read no further than this before it is inflated.
constexpr std::size_t kMaxCompressedFrame = 256 * 1024;
// How far past a frame that cannot be right the reader looks for the next one.
constexpr std::uint64_t kMaxResyncDistance = 1024 * 1024;
constexpr std::size_t kId3v1Size = 128;

std::uint32_t BigEndian(const unsigned char* bytes, int count) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

bool IsSyncSafe(const unsigned char* bytes) {
    return ((bytes[0] | bytes[1] | bytes[2] | bytes[3]) & 0x80) == 0;
}

std::uint32_t SyncSafe(const unsigned char* bytes) {
    return (std::uint32_t{bytes[0]} << 21) | (std::uint32_t{bytes[1]} << 14) |
           (std::uint32_t{bytes[2]} << 7) | bytes[3];
}

// Undoes the unsynchronisation scheme: every 0xFF 0x00 pair stands for 0xFF.
std::string RemoveUnsynchronisation(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out += bytes[i];
        if (static_cast<unsigned char>(bytes[i]) == 0xFF && i + 1 < bytes.size() &&
            bytes[i + 1] == 0) {
            ++i;
        }
    }
    return out;
}

bool IsFrameId(const unsigned char* bytes, int length) {
    return std::all_of(bytes, bytes + length, [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    });
}

std::optional<std::string>* FrameSlot(TagFrames& frames, std::string_view id) {
    struct Entry {
        const char* v22;
        const char* v23;
        std::optional<std::string> TagFrames::*slot;
    };
    static constexpr Entry kEntries[] = {
        {"TT2", "TIT2", &TagFrames::title},
        {"TP1", "TPE1", &TagFrames::leadArtist},
        {"TP2", "TPE2", &TagFrames::band},
        {"TP3", "TPE3", &TagFrames::conductor},
        {"TCM", "TCOM", &TagFrames::composer},
        {"TAL", "TALB", &TagFrames::album},
        {"TYE", "TYER", &TagFrames::year},
        {"TCO", "TCON", &TagFrames::contentType},
        {nullptr, "TDRC", &TagFrames::recordingTime},
        {nullptr, "TDRL", &TagFrames::releaseTime},
    };
    for (const Entry& entry : kEntries) {
        if ((entry.v22 != nullptr && id == entry.v22) || id == entry.v23) {
            return &(frames.*entry.slot);
        }
    }
    return nullptr;
}

struct FrameLocation {
    int major;
    std::uint64_t offset;  // of the frame's data, after its header
    std::uint64_t size;
    unsigned char formatFlags;
    bool tagUnsynchronised;
};

// The text of one text frame, or nothing when the frame cannot be read as text.
std::optional<std::string> ReadTextFrame(ByteSource& body, const FrameLocation& frame) {
    std::uint64_t prefix = 0;
    bool unsynchronised = false;
    bool compressed = false;
    if (frame.major == 3) {
        if (frame.formatFlags & 0x40) {
            return std::nullopt;  // encrypted
        }
        compressed = (frame.formatFlags & 0x80) != 0;
        prefix += compressed ? 4 : 0;                  // the inflated size
        prefix += (frame.formatFlags & 0x20) ? 1 : 0;  // group identifier
    } else if (frame.major == 4) {
        if (frame.formatFlags & 0x04) {
            return std::nullopt;  // encrypted
        }
        compressed = (frame.formatFlags & 0x08) != 0;
        prefix += (frame.formatFlags & 0x40) ? 1 : 0;  // group identifier
        prefix += (frame.formatFlags & 0x01) ? 4 : 0;  // data length indicator
        unsynchronised = (frame.formatFlags & 0x02) || frame.tagUnsynchronised;
    }
    if (prefix >= frame.size) {
        return std::nullopt;
    }
    const std::size_t limit = compressed ? kMaxCompressedFrame : kMaxFrameBody;
    std::string data(std::min<std::uint64_t>(frame.size - prefix, limit), '\0');
    data.resize(body.ReadAt(frame.offset + prefix, data.data(), data.size()));
    if (unsynchronised) {
        data = RemoveUnsynchronisation(data);
    }
    if (compressed) {
        std::optional<std::string> inflated = InflateBounded(data, kMaxFrameBody);
        if (!inflated) {
            return std::nullopt;
        }
        data = std::move(*inflated);
    }
    if (data.empty() || static_cast<unsigned char>(data[0]) > 3) {
        return std::nullopt;
    }
    return DecodeFirstString(static_cast<TextEncoding>(data[0]), std::string_view(data).substr(1));
}

// The size of the frame whose header is at the start of `frameHeader`.
std::uint64_t FrameSize(int major, const unsigned char* frameHeader) {
    if (major == 2) {
        return BigEndian(frameHeader + 3, 3);
    }
    if (major == 3 || !IsSyncSafe(frameHeader + 4)) {
        // Some writers put plain sizes into version 4 tags; those have a top bit set.
        return BigEndian(frameHeader + 4, 4);
    }
    return SyncSafe(frameHeader + 4);
}

// Whether a frame header could start at `position`: an identifier that starts
// with a letter and a size that the tag holds.
bool IsPlausibleFrame(ByteSource& body, std::uint64_t position, std::uint64_t end, int major) {
    const std::size_t headerSize = major == 2 ? 6 : 10;
    const int idLength = major == 2 ? 3 : 4;
    unsigned char frameHeader[10];
    if (position + headerSize > end ||
        body.ReadAt(position, frameHeader, headerSize) != headerSize ||
        !IsFrameId(frameHeader, idLength) || frameHeader[0] < 'A') {
        return false;
    }
    const std::uint64_t size = FrameSize(major, frameHeader);
    return size > 0 && size <= end - position - headerSize;
}

// The extended header's length, 0 when there is none. Some writers set the
// flag without writing one: a frame that starts right after the tag header
// shows that.
std::optional<std::uint64_t> ExtendedHeaderLength(ByteSource& body, std::uint64_t position,
                                                  std::uint64_t end, int major) {
    if (IsPlausibleFrame(body, position, end, major)) {
        return 0;
    }
    unsigned char extended[4];
    if (body.ReadAt(position, extended, 4) != 4) {
        return std::nullopt;
    }
    if (major == 3) {
        return 4 + std::uint64_t{BigEndian(extended, 4)};
    }
    if (!IsSyncSafe(extended)) {
        return std::nullopt;
    }
    return std::max<std::uint32_t>(SyncSafe(extended), 6);
}

std::string Id3v1Field(const unsigned char* bytes, std::size_t length) {
    std::string_view text(reinterpret_cast<const char*>(bytes), length);
    text = text.substr(0, text.find('\0'));
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    return Latin1ToUtf8(text);
}

void AppendTextFrame(std::string& out, const char* id, const std::optional<std::string>& text) {
    if (!text) {
        return;
    }
    const std::uint32_t size = static_cast<std::uint32_t>(text->size() + 1);
    out.append(id, 4);
    for (int shift = 24; shift >= 0; shift -= 8) {
        out += static_cast<char>((size >> shift) & 0xFF);
    }
    out.append(2, '\0');  // no flags
    out += '\0';          // Latin-1 encoding byte: the bytes come back unchanged
    out += *text;
}

std::string FrameText(const ID3_Tag& tag, ID3_FrameID id, bool* present = nullptr) {
    const ID3_Frame* frame = tag.Find(id);
    if (frame == nullptr) {
        return {};
    }
    if (present != nullptr) {
        *present = true;
    }
    const ID3_Field* field = frame->GetField(ID3FN_TEXT);
    const char* text = field != nullptr ? field->GetRawText() : nullptr;
    return text != nullptr ? text : "";
}

}  // namespace

TagFrames ReadId3v2Frames(ByteSource& source) {
    TagFrames frames;
    unsigned char header[10];
    if (source.ReadAt(0, header, sizeof header) != sizeof header ||
        std::memcmp(header, "ID3", 3) != 0) {
        return frames;
    }
    const int major = header[3];
    const unsigned char flags = header[5];
    if (major < 2 || major > 4 || header[4] == 0xFF || !IsSyncSafe(header + 6)) {
        return frames;
    }
    if (major == 2 && (flags & 0x40)) {
        return frames;  // a compressed ID3v2.2 tag: no scheme was ever defined for it
    }
    const std::uint64_t available =
        std::min<std::uint64_t>(SyncSafe(header + 6), source.Size() - 10);

    // Before version 4, unsynchronisation covers the whole tag and frame sizes
    // count the restored bytes, so the tag is restored in memory first.
    std::string restored;
    std::optional<MemorySource> restoredSource;
    ByteSource* body = &source;
    std::uint64_t position = 10;
    std::uint64_t end = 10 + available;
    if (major < 4 && (flags & 0x80)) {
        restored.resize(std::min(available, kMaxUnsynchronisedTag));
        restored.resize(source.ReadAt(10, restored.data(), restored.size()));
        restored = RemoveUnsynchronisation(restored);
        body = &restoredSource.emplace(restored);
        position = 0;
        end = restored.size();
    }

    if (major >= 3 && (flags & 0x40)) {
        const std::optional<std::uint64_t> extended =
            ExtendedHeaderLength(*body, position, end, major);
        if (!extended) {
            return frames;
        }
        position += *extended;
    }

    const std::size_t headerSize = major == 2 ? 6 : 10;
    const int idLength = major == 2 ? 3 : 4;
    for (int count = 0; count < kMaxFrames && position + headerSize <= end; ++count) {
        unsigned char frameHeader[10];
        if (body->ReadAt(position, frameHeader, headerSize) != headerSize ||
            !IsFrameId(frameHeader, idLength)) {
            break;  // padding, or bytes that are no frame: the frames end here
        }
        const std::uint64_t size = FrameSize(major, frameHeader);
        position += headerSize;
        if (size > end - position) {
            // A size that runs past the tag cannot be right: what was read
            // stays, and the frames go on where the next one plausibly starts.
            const std::uint64_t limit = std::min(end, position + kMaxResyncDistance);
            while (position < limit && !IsPlausibleFrame(*body, position, end, major)) {
                ++position;
            }
            if (position >= limit) {
                break;
            }
            continue;
        }
        const std::string_view id(reinterpret_cast<const char*>(frameHeader), idLength);
        std::optional<std::string>* slot = FrameSlot(frames, id);
        if (slot != nullptr && !*slot) {
            const FrameLocation frame{major, position, size,
                                      major == 2 ? static_cast<unsigned char>(0) : frameHeader[9],
                                      (flags & 0x80) != 0};
            *slot = ReadTextFrame(*body, frame);
        }
        position += size;
    }
    // The year frame of the tag's own version first: taggers leave the other
    // one behind when they rewrite a tag in another version.
    std::optional<std::string> year = std::move(frames.year);
    frames.year = major == 4 ? (frames.recordingTime ? frames.recordingTime : year)
                             : (year ? year : frames.recordingTime);
    if (!frames.year) {
        frames.year = std::move(frames.releaseTime);
    }
    return frames;
}

void MergeId3v1(ByteSource& source, TagFrames& frames) {
    unsigned char tag[kId3v1Size];
    if (source.Size() < kId3v1Size ||
        source.ReadAt(source.Size() - kId3v1Size, tag, kId3v1Size) != kId3v1Size ||
        std::memcmp(tag, "TAG", 3) != 0) {
        return;
    }
    auto fill = [](std::optional<std::string>& slot, std::string text) {
        if (!slot && !text.empty()) {
            slot = std::move(text);
        }
    };
    fill(frames.title, Id3v1Field(tag + 3, 30));
    if (!frames.HasArtist()) {
        fill(frames.leadArtist, Id3v1Field(tag + 33, 30));
    }
    fill(frames.album, Id3v1Field(tag + 63, 30));
    fill(frames.year, Id3v1Field(tag + 93, 4));
    if (tag[127] != 255) {
        fill(frames.contentType, "(" + std::to_string(tag[127]) + ")");
    }
}

std::string BuildNormalisedTag(const TagFrames& frames) {
    std::string body;
    AppendTextFrame(body, "TIT2", frames.title);
    AppendTextFrame(body, "TPE1", frames.leadArtist);
    AppendTextFrame(body, "TPE2", frames.band);
    AppendTextFrame(body, "TPE3", frames.conductor);
    AppendTextFrame(body, "TCOM", frames.composer);
    AppendTextFrame(body, "TALB", frames.album);
    AppendTextFrame(body, "TYER", frames.year);
    AppendTextFrame(body, "TCON", frames.contentType);
    const auto size = static_cast<std::uint32_t>(body.size());
    std::string tag = "ID3";
    tag += '\x03';
    tag.append(2, '\0');
    for (int shift = 21; shift >= 0; shift -= 7) {
        tag += static_cast<char>((size >> shift) & 0x7F);
    }
    return tag + body;
}

TagTexts ReadTags(ByteSource& source) {
    TagFrames frames = ReadId3v2Frames(source);
    MergeId3v1(source, frames);
    TagTexts texts;
    if (frames.Empty()) {
        return texts;
    }
    // The zero bytes after the tag give the all-kinds link an end without
    // ID3v1 or other trailing tags: the ID3v1 fields are already merged.
    std::string bytes = BuildNormalisedTag(frames);
    bytes.append(kId3v1Size, '\0');
    ID3_MemoryReader reader(bytes.data(), bytes.size());
    ID3_Tag tag;
    tag.Link(reader, ID3TT_ALL);

    texts.Title = FrameText(tag, ID3FID_TITLE);
    for (ID3_FrameID id : {ID3FID_LEADARTIST, ID3FID_BAND, ID3FID_CONDUCTOR, ID3FID_COMPOSER}) {
        bool present = false;
        texts.Artist = FrameText(tag, id, &present);
        if (present) {
            break;
        }
    }
    texts.Album = FrameText(tag, ID3FID_ALBUM);
    texts.Year = FrameText(tag, ID3FID_YEAR);
    texts.GenreID = GenreNumber(FrameText(tag, ID3FID_CONTENTTYPE));
    return texts;
}

}  // namespace kavelin
