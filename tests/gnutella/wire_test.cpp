// The parsers, case by case: descriptors, query hits with and without
// extensions, GGEP, header blocks, HTTP fields, SHA-1 and base32, file names.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/gnutella/FileNames.h"
#include "platform/gnutella/HeaderBlock.h"
#include "platform/gnutella/Sha1.h"
#include "platform/gnutella/Wire.h"
#include "tests/gnutella/FakeNetwork.h"

namespace kavelin::test {
namespace {

using namespace gnutella;

TEST(GnutellaSha1, KnownDigestsAndBase32) {
    EXPECT_EQ(Base32(Sha1Of("")), "3I42H3S6NNFQ2MSVX7XZKYAYSCX5QBYJ");
    EXPECT_EQ(Base32(Sha1Of("abc")), "VGMT4NSHA2AWVOR6EVYXQUGCNSONBWE5");
    // Fed in uneven pieces, the digest is the same.
    const std::string text(1000, 'z');
    Sha1 pieces;
    for (std::size_t i = 0; i < text.size(); i += 37) {
        pieces.Update(text.data() + i, std::min<std::size_t>(37, text.size() - i));
    }
    EXPECT_EQ(pieces.Finish(), Sha1Of(text));
    EXPECT_EQ(DigestFromBase32(Base32(Sha1Of("abc"))), Sha1Of("abc"));
    EXPECT_EQ(DigestFromBase32("vgmt4nsha2awvor6evyxqugcnsonbwe5"), Sha1Of("abc"));
    EXPECT_FALSE(DigestFromBase32("VGMT4NSHA2AWVOR6EVYXQUGCNSONBWE"));   // 31 characters
    EXPECT_FALSE(DigestFromBase32("VGMT4NSHA2AWVOR6EVYXQUGCNSONBWE1"));  // '1' is not base32
    EXPECT_EQ(ParseSha1Urn("URN:SHA1:VGMT4NSHA2AWVOR6EVYXQUGCNSONBWE5"), Sha1Of("abc"));
    EXPECT_FALSE(ParseSha1Urn("urn:bitprint:VGMT4NSHA2AWVOR6EVYXQUGCNSONBWE5"));
}

TEST(GnutellaDescriptor, FramingNeedsTheWholeDescriptorAndRefusesGiants) {
    const Guid guid = NewGuid();
    EXPECT_EQ(guid[8], 0xFF);
    EXPECT_EQ(guid[15], 0);
    const std::string message = BuildDescriptor(guid, kQuery, 3, 1, "abc");
    ASSERT_EQ(message.size(), kHeaderSize + 3);
    DescriptorHeader header;
    std::string_view payload;
    std::size_t consumed = 0;
    for (std::size_t cut = 0; cut < message.size(); ++cut) {
        EXPECT_EQ(NextDescriptor(message.substr(0, cut), header, payload, consumed),
                  Frame::NeedMore);
    }
    ASSERT_EQ(NextDescriptor(message + "next", header, payload, consumed), Frame::Complete);
    EXPECT_EQ(header.guid, guid);
    EXPECT_EQ(header.type, kQuery);
    EXPECT_EQ(header.ttl, 3);
    EXPECT_EQ(header.hops, 1);
    EXPECT_EQ(payload, "abc");
    EXPECT_EQ(consumed, message.size());

    std::string giant = BuildDescriptor(guid, kQueryHit, 1, 0, "");
    giant[19] = char(0xFF);
    giant[22] = char(0x7F);
    EXPECT_EQ(NextDescriptor(giant, header, payload, consumed), Frame::TooLarge);
    std::string limit = BuildDescriptor(guid, kQueryHit, 1, 0, "");
    limit[21] = 1;  // exactly 64 KiB: allowed, waits for the bytes
    EXPECT_EQ(NextDescriptor(limit, header, payload, consumed), Frame::NeedMore);
}

TEST(GnutellaDescriptor, QueryCarriesFlagsBigEndianAndItsText) {
    const std::string payload =
        BuildQueryPayload("some artist", kQueryFlagsInUse | kQueryWantsGgepH);
    EXPECT_EQ(static_cast<unsigned char>(payload[0]), 0x88);
    EXPECT_EQ(static_cast<unsigned char>(payload[1]), 0x00);
    EXPECT_EQ(payload.back(), '\0');
    auto query = ParseQuery(payload);
    ASSERT_TRUE(query);
    EXPECT_EQ(query->flags, 0x8800);
    EXPECT_EQ(query->text, "some artist");
    EXPECT_FALSE(ParseQuery(std::string("\x80\x00no terminator", 15)));
}

TEST(GnutellaDescriptor, PongRoundTrip) {
    Pong pong;
    pong.host = {0x0A000001, 6346};
    pong.files = 12;
    pong.kilobytes = 3400;
    const std::string payload = BuildPongPayload(pong);
    ASSERT_EQ(payload.size(), 14u);
    EXPECT_EQ(payload.substr(2, 4),
              std::string("\x0A\x00\x00\x01", 4));  // the address in network order
    auto parsed = ParsePong(payload);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->host, pong.host);
    EXPECT_EQ(parsed->files, 12u);
    EXPECT_FALSE(ParsePong(payload.substr(0, 13)));
}

struct HitCase {
    const char* label;
    bool withSha1;
    bool asGgep;
    std::uint8_t flags;
};

class QueryHitParsing : public ::testing::TestWithParam<HitCase> {};

TEST_P(QueryHitParsing, ReadsResultsExtensionsAndTrailer) {
    const HitCase c = GetParam();
    std::vector<HitResult> results{
        {7, 1234, "First Song.mp3", c.withSha1 ? std::optional(Sha1Of("one")) : std::nullopt},
        {9, 99, "Second.mp3", c.withSha1 ? std::optional(Sha1Of("two")) : std::nullopt}};
    const std::string payload = BuildQueryHit({0xC0A80102, 6346}, results, c.asGgep, c.flags);
    auto hit = ParseQueryHit(payload, 255);
    ASSERT_TRUE(hit) << c.label;
    EXPECT_EQ(FormatHostAddress(hit->host), "192.168.1.2:6346");
    ASSERT_EQ(hit->results.size(), 2u);
    EXPECT_EQ(hit->results[0].index, 7u);
    EXPECT_EQ(hit->results[0].size, 1234u);
    EXPECT_EQ(hit->results[0].name, "First Song.mp3");
    EXPECT_EQ(hit->results[1].name, "Second.mp3");
    EXPECT_EQ(hit->results[0].sha1, results[0].sha1);
    EXPECT_EQ(hit->results[1].sha1, results[1].sha1);
    EXPECT_EQ(hit->vendor, "KVTS");
    EXPECT_EQ(hit->push, (c.flags & kHitFlagPush) != 0);
    EXPECT_EQ(hit->busy, (c.flags & kHitFlagBusy) != 0);
    // Fewer kept than announced when asked.
    EXPECT_EQ(ParseQueryHit(payload, 1)->results.size(), 1u);
    // Every shorter cut is refused or read within its bytes.
    for (std::size_t cut = 0; cut < payload.size(); ++cut) {
        auto partial = ParseQueryHit(payload.substr(0, cut), 255);
        if (partial) {
            for (const auto& result : partial->results) {
                EXPECT_LE(result.name.size(), cut);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Extensions, QueryHitParsing,
    ::testing::Values(HitCase{"plain", false, false, 0}, HitCase{"urn text", true, false, 0},
                      HitCase{"GGEP H", true, true, 0},
                      HitCase{"push flag", true, false, kHitFlagPush | kHitFlagBusy}),
    [](const auto& info) {
        std::string name = info.param.label;
        for (char& ch : name) {
            ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        }
        return name;
    });

TEST(GnutellaDescriptor, PushFlagCountsOnlyWhenSetInBothBytes) {
    std::string payload =
        BuildQueryHit({0x01020304, 1}, {{1, 10, "a.mp3", std::nullopt}}, false, kHitFlagPush);
    // Trailer: vendor(4) size(1) flags(2), then the servent GUID(16).
    const std::size_t flags = payload.size() - 16 - 2;
    payload[flags + 1] = 0;
    EXPECT_FALSE(ParseQueryHit(payload, 255)->push);
}

TEST(GnutellaDescriptor, HitAnnouncingMoreResultsThanItCarriesIsRefused) {
    std::string payload = BuildQueryHit({0x01020304, 1}, {{1, 10, "a.mp3", std::nullopt}}, false);
    payload[0] = 5;
    EXPECT_FALSE(ParseQueryHit(payload, 255));
}

TEST(GnutellaGgep, BlocksWithEncodingsAndLengths) {
    std::size_t used = 0;
    // Two extensions: "H" with 21 bytes, then "ALT" (last) with a two-byte length of 64.
    std::string block = "\xC3";
    block += char(0x01);
    block += 'H';
    block += char(0x40 | 21);
    block += std::string(21, '\x01');
    block += char(0x80 | 3);
    block += "ALT";
    block += char(0x81);
    block += char(0x40);
    block += std::string(64, 'x');
    auto parsed = ParseGgep(block + "trailing", used);
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->size(), 2u);
    EXPECT_EQ((*parsed)[0].id, "H");
    EXPECT_EQ((*parsed)[0].data.size(), 21u);
    EXPECT_EQ((*parsed)[1].id, "ALT");
    EXPECT_EQ((*parsed)[1].data.size(), 64u);
    EXPECT_EQ(used, block.size());
    // COBS: "\x02a\x01" decodes to "a\0".
    auto cobs = ParseGgep(std::string("\xC3\xC1Z\x43\x02\x61\x01", 7), used);
    ASSERT_TRUE(cobs);
    EXPECT_EQ((*cobs)[0].data, std::string("a\0", 2));

    const std::vector<std::string> broken{
        "",                                           // nothing
        "\x01",                                       // no magic
        "\xC3",                                       // no extension
        std::string("\xC3\x80", 2),                   // ID length 0
        std::string("\xC3\x81H", 3),                  // no data length
        std::string("\xC3\x81H\x45", 4),              // 5 bytes promised, none there
        std::string("\xC3\x81H\x05\x41", 5),          // length byte without "more" or "last"
        std::string("\xC3\x81H\x80\x80\x80\x41", 7),  // four length bytes
        std::string("\xC3\x01H\x40", 4),              // not the last, and nothing follows
        std::string("\xC3\xC1Z\x42\x05\x61", 6),      // COBS code past the end
    };
    for (const auto& bytes : broken) {
        EXPECT_FALSE(ParseGgep(bytes, used)) << testing::PrintToString(bytes);
    }
}

TEST(GnutellaHeaderBlock, HandshakeAndHttpBlocks) {
    HeaderBlock block;
    std::size_t consumed = 0;
    const std::string text =
        "GNUTELLA/0.6 200 OK\r\nX-Ultrapeer: True\r\nX-Try-Ultrapeers: 1.2.3.4:6346,\r\n"
        " 5.6.7.8:6347, bad\nAccept-Encoding: gzip, Deflate\r\n\r\nBINARY";
    ASSERT_EQ(ParseHeaderBlock(text, block, consumed), BlockParse::Complete);
    EXPECT_EQ(text.substr(consumed), "BINARY");
    EXPECT_EQ(StatusCode(block.startLine, "GNUTELLA/"), 200);
    EXPECT_EQ(block.Field("x-ultrapeer"), "True");
    EXPECT_TRUE(HasToken(*block.Field("Accept-Encoding"), "deflate"));
    const auto hosts = ParseHostList(*block.Field("X-Try-Ultrapeers"), 10);
    ASSERT_EQ(hosts.size(), 2u);
    EXPECT_EQ(FormatHostAddress(hosts[1]), "5.6.7.8:6347");
    EXPECT_EQ(ParseHostList("1.1.1.1:1,2.2.2.2:2,3.3.3.3:3", 2).size(), 2u);

    EXPECT_EQ(ParseHeaderBlock("GNUTELLA/0.6 200 OK\r\nX-A: 1\r\n", block, consumed),
              BlockParse::NeedMore);
    HeaderLimits limits;
    limits.maxLine = 50;
    limits.maxLines = 4;
    limits.maxBlock = 200;
    EXPECT_EQ(ParseHeaderBlock(std::string(60, 'a'), block, consumed, limits), BlockParse::Invalid);
    EXPECT_EQ(
        ParseHeaderBlock("S\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n", block, consumed, limits),
        BlockParse::Invalid);
    EXPECT_EQ(ParseHeaderBlock("S\r\nno colon here\r\n\r\n", block, consumed), BlockParse::Invalid);
    EXPECT_EQ(ParseHeaderBlock("S\r\n continuation first\r\n\r\n", block, consumed),
              BlockParse::Invalid);
    EXPECT_EQ(ParseHeaderBlock(std::string("S\r\nA: \x01\r\n\r\n"), block, consumed),
              BlockParse::Invalid);
    EXPECT_EQ(ParseHeaderBlock("\r\n\r\n", block, consumed), BlockParse::Invalid);
}

TEST(GnutellaHeaderBlock, StatusLinesAndHttpFields) {
    EXPECT_EQ(StatusCode("HTTP/1.1 206 Partial Content", "HTTP/"), 206);
    EXPECT_EQ(StatusCode("HTTP/1.0 503", "HTTP/"), 503);
    EXPECT_EQ(StatusCode("GNUTELLA/0.6 503 Full", "HTTP/"), -1);
    EXPECT_EQ(StatusCode("HTTP/1.1 2000 OK", "HTTP/"), -1);
    EXPECT_EQ(StatusCode("HTTP/1.1 2x0 OK", "HTTP/"), -1);
    EXPECT_EQ(StatusCode("HTTP/1.1", "HTTP/"), -1);

    auto range = ParseContentRange("bytes 100-199/200");
    ASSERT_TRUE(range);
    EXPECT_EQ(range->first, 100u);
    EXPECT_EQ(range->last, 199u);
    EXPECT_EQ(range->total, 200u);
    EXPECT_TRUE(ParseContentRange("bytes=0-0/1"));
    for (const char* bad : {"bytes 5-4/10", "bytes 0-10/10", "bytes */10", "items 0-1/2",
                            "bytes 0-1", "bytes -1-2/3", "bytes 0-99999999999999999999/1"}) {
        EXPECT_FALSE(ParseContentRange(bad)) << bad;
    }
    EXPECT_EQ(ParseDecimal("123", 200), 123u);
    EXPECT_FALSE(ParseDecimal("201", 200));
    EXPECT_FALSE(ParseDecimal("12a", 200));
    EXPECT_FALSE(ParseDecimal("", 200));
    EXPECT_FALSE(ParseDecimal("-1", 200));
}

TEST(GnutellaHostAddress, OnlyDottedQuadsWithAPort) {
    EXPECT_EQ(FormatHostAddress(*ParseHostAddress("127.0.0.1:6346")), "127.0.0.1:6346");
    for (const char* bad : {"127.0.0.1", "127.0.0.1:0", "127.0.0.1:65536", "256.0.0.1:1", "1.2.3:4",
                            "1.2.3.4.5:6", "host:80", "1.2.3.4:80x", " 1.2.3.4:80"}) {
        EXPECT_FALSE(ParseHostAddress(bad)) << bad;
    }
}

TEST(GnutellaFileNames, NamesFromTheNetworkAreMadeSafe) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
        {"Artist - Song.mp3", "Artist - Song.mp3"},
        {"../../etc/passwd", "passwd"},
        {"C:\\Windows\\evil.mp3", "evil.mp3"},
        {"dir/sub/", std::nullopt},
        {"..", std::nullopt},
        {".hidden.mp3", std::nullopt},
        {"", std::nullopt},
        {"   ", std::nullopt},
        {std::string("bell\x07tab\t.mp3"), "bell_tab_.mp3"},
        {"caf\xC3\xA9.mp3", "caf\xC3\xA9.mp3"},
        {"bad\xC3(.mp3", "bad_(.mp3"},
        {"over\xE0\x80\x80long.mp3", "over___long.mp3"},
    };
    for (const auto& [offered, expected] : cases) {
        EXPECT_EQ(SanitizeFileName(offered), expected) << testing::PrintToString(offered);
    }
    const std::string longName = std::string(300, 'x') + ".mp3";
    auto cut = SanitizeFileName(longName);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->size(), kMaxFileNameBytes);
    EXPECT_EQ(cut->substr(cut->size() - 4), ".mp3");
    EXPECT_EQ(UrlEncode("a b/ü.mp3"), "a%20b%2F%C3%BC.mp3");
}

TEST(GnutellaFileNames, UniquePathNeverNamesAnExistingFile) {
    char pattern[] = "/tmp/kavelin-names-XXXXXX";
    const std::filesystem::path dir = mkdtemp(pattern);
    EXPECT_EQ(UniquePath(dir, "a.mp3"), dir / "a.mp3");
    std::ofstream(dir / "a.mp3") << "x";
    std::ofstream(dir / "a (1).mp3") << "x";
    std::filesystem::create_symlink(dir / "nowhere", dir / "a (2).mp3");  // a dangling link counts
    EXPECT_EQ(UniquePath(dir, "a.mp3"), dir / "a (3).mp3");
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kavelin::test
