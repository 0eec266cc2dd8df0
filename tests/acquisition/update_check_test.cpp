// The update check at start-up against a local update page: what is sent and
// which replies are opened with the desktop.
#include <gtest/gtest.h>

#include <cstdlib>

#include "acquisition/UpdateCheck.h"
#include "tests/acquisition/HttpTestServer.h"
#include "tests/support/TestCatalog.h"

namespace kavelin {
namespace {

using test::HttpResponse;
using test::SeenRequest;
using test::WaitUntil;

class UpdateCheckTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("KAVELIN_UPDATE_HOST", server.Address().c_str(), 1); }
    void TearDown() override { unsetenv("KAVELIN_UPDATE_HOST"); }

    // Runs one update check whose page answers with `pieces`; returns what was opened.
    std::vector<std::string> OpenedFor(const std::vector<std::string>& pieces) {
        server.SetResponder([&pieces](const SeenRequest&) { return pieces; });
        CUrlRequest request;
        bool ended = false;
        QObject::connect(&request, &CUrlRequest::TransferEnded, [&ended] { ended = true; });
        EXPECT_TRUE(StartUpdateCheck(request));
        // A further piece leaves only after the one before has been opened.
        std::size_t opened = 0;
        while (!ended) {
            if (!WaitUntil([&] { return ended || messages.shell().Opened().size() > opened; })) {
                break;
            }
            opened = messages.shell().Opened().size();
            server.SendNextPiece();
        }
        EXPECT_TRUE(ended);
        return messages.shell().Opened();
    }

    test::HttpTestServer server;
    test::ScopedMessageShell messages;
};

TEST_F(UpdateCheckTest, PostsTheVersionToTheUpdatePage) {
    OpenedFor({HttpResponse(200, "")});
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].method, "POST");
    EXPECT_EQ(server.Requests()[0].target, "/Updates.asp");
    EXPECT_EQ(server.Requests()[0].Header("content-type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(server.Requests()[0].body, "version=1.00b");
}

TEST_F(UpdateCheckTest, ShortAddressIsOpened) {
    EXPECT_EQ(OpenedFor({HttpResponse(200, "http://a.b")}), std::vector<std::string>{"http://a.b"});
}

TEST_F(UpdateCheckTest, AddressWithSurroundingWhiteSpaceIsOpenedTrimmed) {
    EXPECT_EQ(OpenedFor({HttpResponse(200, "  https://kavelin.test/new?v=2\r\n")}),
              std::vector<std::string>{"https://kavelin.test/new?v=2"});
}

TEST_F(UpdateCheckTest, LongestOpenedReplyIs399Bytes) {
    const std::string address = "http://a.b/";
    const std::string longest = address + std::string(399 - address.size(), 'p');
    EXPECT_EQ(OpenedFor({HttpResponse(200, longest)}), std::vector<std::string>{longest});
}

TEST_F(UpdateCheckTest, RepliesOutOfRangeOrNotAWebAddressOpenNothing) {
    const std::string address = "http://a.b/";
    for (const std::string& reply : {
             std::string("http:/"),                             // 6 bytes: nothing to do
             address + std::string(400 - address.size(), 'p'),  // 400 bytes
             std::string("<html><body>Internal error</body></html>"),
             std::string("file:///etc/passwd"),
             std::string("xdg-open http://a.b"),
             std::string("http://a.b\nhttp://c.d"),
             std::string("javascript:alert(1)"),
         }) {
        SCOPED_TRACE(reply);
        EXPECT_TRUE(OpenedFor({HttpResponse(200, reply)}).empty());
    }
}

TEST_F(UpdateCheckTest, EachBlockOfTheReplyIsJudgedByItself) {
    const std::string first = "http://a.b/one";
    const std::string second = "http://a.b/two";
    const std::string head =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(first.size() + second.size()) +
        "\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(OpenedFor({head + first, second}), (std::vector<std::string>{first, second}));
}

TEST_F(UpdateCheckTest, UnreachableUpdatePageChangesNothing) {
    setenv("KAVELIN_UPDATE_HOST", test::UnreachableAddress().c_str(), 1);
    EXPECT_TRUE(OpenedFor({}).empty());
    EXPECT_TRUE(messages.shell().Messages().empty());
}

}  // namespace
}  // namespace kavelin
