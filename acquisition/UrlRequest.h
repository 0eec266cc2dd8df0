#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class QIODevice;
class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QUrl;

namespace kavelin {

enum class RequestMethod { Get = 0, Post = 1 };

// Receives a reply block by block as it arrives: `length` bytes at `data`,
// with a zero byte behind them.
using BlockHandler = std::function<void(const char* data, std::size_t length)>;

// Replies are handed on in blocks of at most this size, and a transfer that
// delivers more than the limit in all is cut off: web replies are not trusted.
inline constexpr std::size_t kMaxReplyBlock = 64 * 1024;
inline constexpr std::size_t kMaxReplyLength = 8 * 1024 * 1024;
// Redirections followed for one transfer before it is given up.
inline constexpr int kMaxRedirections = 10;

// Whether a transfer at `from` follows a redirection to `to`: only to web
// addresses, and never from https to plain http.
bool MayRedirect(const QUrl& from, const QUrl& to);

// What one transfer sends and what becomes of its reply: the method and body,
// a redirection turning a POST into a GET without body for good, and the
// reply handed to the block handler.
class CBindStatusCallback {
public:
    // The body is kept for a POST only; an empty body is no body.
    CBindStatusCallback(RequestMethod method, const std::string& body, BlockHandler handler);

    RequestMethod Method() const { return m_nMethod; }
    bool IsRedirected() const { return m_bRedirected; }
    // The request for `address` as the transfer stands now: a POST with a body
    // carries the form content type, a GET carries none.
    QNetworkRequest DescribeRequest(const QUrl& address) const;
    const QByteArray& PostData() const { return m_postData; }

    // The server sent the transfer elsewhere: from now on it is a GET without body.
    void OnRedirecting();
    // Hands everything `source` holds now to the handler. False once the
    // transfer has delivered more than kMaxReplyLength; nothing more is handed on then.
    bool OnDataAvailable(QIODevice& source);

private:
    RequestMethod m_nMethod;
    QByteArray m_postData;
    bool m_bRedirected = false;
    std::size_t m_nReceived = 0;
    BlockHandler m_handler;
};

// An asynchronous HTTP request on the user-interface thread. Start returns at
// once; the reply reaches the block handler while the thread runs its event
// loop. Failures are silent: a transfer that fails delivers nothing, and
// only successful (2xx) replies are handed on.
class CUrlRequest : public QObject {
    Q_OBJECT

public:
    explicit CUrlRequest(QObject* parent = nullptr);
    ~CUrlRequest() override;

    // Ends a transfer still under way and forgets it.
    bool Reset();
    // Starts a transfer of an http or https address; the body is sent for a
    // POST only, as a form. False when the transfer could not be started (no
    // such address, no application object, not the application's thread).
    bool Start(const std::string& address, const std::string& body, RequestMethod method,
               BlockHandler handler);
    bool IsActive() const;

signals:
    // The transfer started last has ended, however it ended.
    void TransferEnded();

private:
    void Send(const QUrl& address);
    void OnReadyRead();
    void OnFinished();
    // Hands on what has arrived; false when the reply has grown too long.
    bool Deliver();
    void End();
    void Drop();

    QPointer<QNetworkAccessManager> m_pManager;
    QPointer<QNetworkReply> m_pReply;
    std::unique_ptr<CBindStatusCallback> m_pCallback;
    int m_nRedirections = 0;
};

}  // namespace kavelin
