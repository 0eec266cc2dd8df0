// The asynchronous web request against a local server: what is sent, how
// redirections and replies are handled, and that failures stay silent.
#include <gtest/gtest.h>

#include <QTest>
#include <QUrl>
#include <thread>

#include "acquisition/UrlRequest.h"
#include "tests/acquisition/HttpTestServer.h"

namespace kavelin {
namespace {

using test::HttpResponse;
using test::SeenRequest;
using test::WaitUntil;

class UrlRequestTest : public ::testing::Test {
protected:
    // Starts a request, runs it to its end and returns whether it started.
    bool Run(const std::string& address, const std::string& body, RequestMethod method) {
        bool ended = false;
        QObject::connect(&request, &CUrlRequest::TransferEnded, [&ended] { ended = true; });
        const bool started =
            request.Start(address, body, method, [this](const char* data, std::size_t length) {
                EXPECT_EQ(data[length], '\0');
                blocks.emplace_back(data, length);
                if (onBlock) {
                    onBlock();
                }
            });
        if (started) {
            EXPECT_TRUE(WaitUntil([&] { return ended; }));
            EXPECT_FALSE(request.IsActive());
        }
        QObject::disconnect(&request, &CUrlRequest::TransferEnded, nullptr, nullptr);
        return started;
    }

    std::string Joined() const {
        std::string all;
        for (const auto& block : blocks) {
            all += block;
        }
        return all;
    }

    test::HttpTestServer server;
    CUrlRequest request;
    std::vector<std::string> blocks;
    std::function<void()> onBlock;
};

TEST_F(UrlRequestTest, PostSendsTheFormBodyWithItsContentType) {
    server.SetResponder(
        [](const SeenRequest&) { return std::vector<std::string>{HttpResponse(200, "thanks")}; });
    ASSERT_TRUE(Run(server.Address() + "/Updates.asp", "version=1.00b", RequestMethod::Post));
    ASSERT_EQ(server.Requests().size(), 1u);
    const SeenRequest& seen = server.Requests()[0];
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.target, "/Updates.asp");
    EXPECT_EQ(seen.Header("content-type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(seen.body, "version=1.00b");
    EXPECT_EQ(Joined(), "thanks");
}

TEST_F(UrlRequestTest, GetSendsNeitherBodyNorContentType) {
    // A body given with a GET is not sent.
    ASSERT_TRUE(Run(server.Address() + "/similar/x", "ignored=1", RequestMethod::Get));
    ASSERT_EQ(server.Requests().size(), 1u);
    const SeenRequest& seen = server.Requests()[0];
    EXPECT_EQ(seen.method, "GET");
    EXPECT_FALSE(seen.HasHeader("content-type"));
    EXPECT_TRUE(seen.body.empty());
    EXPECT_TRUE(seen.Header("content-length").empty() || seen.Header("content-length") == "0");
}

TEST_F(UrlRequestTest, RedirectedPostGoesOnAsGetWithoutBody) {
    for (int status : {302, 303, 307}) {
        SCOPED_TRACE(status);
        const std::size_t before = server.Requests().size();
        server.SetResponder([status](const SeenRequest& seen) {
            if (seen.target == "/Updates.asp") {
                return std::vector<std::string>{
                    HttpResponse(status, "moved away", "Location: /elsewhere\r\n")};
            }
            return std::vector<std::string>{HttpResponse(200, "arrived")};
        });
        blocks.clear();
        ASSERT_TRUE(Run(server.Address() + "/Updates.asp", "version=1.00b", RequestMethod::Post));
        ASSERT_EQ(server.Requests().size(), before + 2);
        const SeenRequest& followed = server.Requests().back();
        EXPECT_EQ(followed.target, "/elsewhere");
        EXPECT_EQ(followed.method, "GET");
        EXPECT_FALSE(followed.HasHeader("content-type"));
        EXPECT_TRUE(followed.body.empty());
        // The body of the redirection itself is not part of the reply.
        EXPECT_EQ(Joined(), "arrived");
    }
}

TEST_F(UrlRequestTest, EndlessRedirectionsAreGivenUp) {
    server.SetResponder([](const SeenRequest&) {
        return std::vector<std::string>{HttpResponse(302, "", "Location: /again\r\n")};
    });
    ASSERT_TRUE(Run(server.Address() + "/again", "", RequestMethod::Get));
    EXPECT_EQ(server.Requests().size(), static_cast<std::size_t>(kMaxRedirections) + 1);
    EXPECT_TRUE(blocks.empty());
}

TEST_F(UrlRequestTest, RedirectionToAnotherKindOfAddressIsNotFollowed) {
    server.SetResponder([](const SeenRequest&) {
        return std::vector<std::string>{HttpResponse(302, "", "Location: file:///etc/passwd\r\n")};
    });
    ASSERT_TRUE(Run(server.Address() + "/x", "", RequestMethod::Get));
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_TRUE(blocks.empty());
}

TEST(UrlRedirection, NeverFromEncryptedToPlain) {
    const QUrl secure("https://music.example/similar/a");
    EXPECT_FALSE(MayRedirect(secure, QUrl("http://music.example/similar/a")));
    EXPECT_TRUE(MayRedirect(secure, QUrl("https://mirror.example/similar/a")));
    EXPECT_TRUE(MayRedirect(QUrl("http://music.example/x"), QUrl("https://music.example/x")));
    EXPECT_FALSE(MayRedirect(QUrl("http://music.example/x"), QUrl("file:///etc/passwd")));
}

TEST_F(UrlRequestTest, ReplyArrivingInTwoPiecesIsHandedOnAsTwoBlocks) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 25\r\nConnection: close\r\n\r\n";
    server.SetResponder([&head](const SeenRequest&) {
        return std::vector<std::string>{head + "first block,", " second block"};
    });
    // The second piece leaves only after the first has been handled.
    onBlock = [this] { server.SendNextPiece(); };
    ASSERT_TRUE(Run(server.Address() + "/two", "", RequestMethod::Get));
    EXPECT_EQ(blocks, (std::vector<std::string>{"first block,", " second block"}));
}

TEST_F(UrlRequestTest, ErrorPagesAndUnreachableServersDeliverNothing) {
    server.SetResponder([](const SeenRequest&) {
        return std::vector<std::string>{HttpResponse(404, "http://not.found/page")};
    });
    ASSERT_TRUE(Run(server.Address() + "/missing", "", RequestMethod::Get));
    ASSERT_TRUE(
        Run(test::UnreachableAddress() + "/Updates.asp", "version=1.00b", RequestMethod::Post));
    EXPECT_TRUE(blocks.empty());
}

TEST_F(UrlRequestTest, OnlyWebAddressesAreStarted) {
    for (const char* address : {"", "file:///etc/passwd", "ftp://127.0.0.1/x", "http://", "x y"}) {
        EXPECT_FALSE(request.Start(address, "", RequestMethod::Get, nullptr)) << address;
        EXPECT_FALSE(request.IsActive());
    }
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(UrlRequestTest, OnlyTheApplicationThreadStartsRequests) {
    // The network manager belongs to the user-interface thread.
    bool started = true;
    std::thread worker(
        [&] { started = request.Start(server.Address() + "/x", "", RequestMethod::Get, nullptr); });
    worker.join();
    EXPECT_FALSE(started);
    EXPECT_FALSE(request.IsActive());
    QTest::qWait(20);
    EXPECT_TRUE(server.Requests().empty());
}

TEST_F(UrlRequestTest, OverlongReplyIsCutOffInBoundedBlocks) {
    const std::string body(kMaxReplyLength + 3 * kMaxReplyBlock, 'x');
    server.SetResponder(
        [&body](const SeenRequest&) { return std::vector<std::string>{HttpResponse(200, body)}; });
    ASSERT_TRUE(Run(server.Address() + "/big", "", RequestMethod::Get));
    std::size_t total = 0;
    for (const auto& block : blocks) {
        EXPECT_LE(block.size(), kMaxReplyBlock);
        total += block.size();
    }
    EXPECT_EQ(total, kMaxReplyLength);
}

TEST_F(UrlRequestTest, ResetEndsTheTransferWithoutDelivering) {
    server.SetResponder([](const SeenRequest&) {
        return std::vector<std::string>{
            "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n\r\n", "0123456789"};
    });
    ASSERT_TRUE(request.Start(
        server.Address() + "/slow", "", RequestMethod::Get,
        [this](const char* data, std::size_t length) { blocks.emplace_back(data, length); }));
    ASSERT_TRUE(WaitUntil([this] { return !server.Requests().empty(); }));
    EXPECT_TRUE(request.IsActive());
    EXPECT_TRUE(request.Reset());
    EXPECT_FALSE(request.IsActive());
    server.SendNextPiece();
    QTest::qWait(50);
    EXPECT_TRUE(blocks.empty());
}

}  // namespace
}  // namespace kavelin
