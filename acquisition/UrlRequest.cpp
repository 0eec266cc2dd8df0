#include "acquisition/UrlRequest.h"

#include <QCoreApplication>
#include <QIODevice>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QUrl>
#include <algorithm>
#include <string>

#include "platform/log/ProgramLog.h"

namespace kavelin {
namespace {

constexpr const char* kFormContentType = "application/x-www-form-urlencoded";

// One manager for every request of the program; it lives with the application
// object and works on its thread.
QNetworkAccessManager* NetworkAccess() {
    static QPointer<QNetworkAccessManager> manager;
    QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr || QThread::currentThread() != application->thread()) {
        return nullptr;
    }
    if (manager == nullptr) {
        manager = new QNetworkAccessManager(application);
        // Redirections are followed by hand, so that a POST goes on as a GET
        // without body whatever the status code says.
        manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    }
    return manager;
}

bool IsWebScheme(const QUrl& address) {
    return address.isValid() && !address.host().isEmpty() &&
           (address.scheme() == QLatin1String("http") ||
            address.scheme() == QLatin1String("https"));
}

int StatusCode(const QNetworkReply& reply) {
    return reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool IsRedirection(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

bool MayRedirect(const QUrl& from, const QUrl& to) {
    // A transfer that began encrypted never goes on in the clear.
    return IsWebScheme(to) &&
           !(from.scheme() == QLatin1String("https") && to.scheme() != QLatin1String("https"));
}

CBindStatusCallback::CBindStatusCallback(RequestMethod method, const std::string& body,
                                         BlockHandler handler)
    : m_nMethod(method), m_handler(std::move(handler)) {
    if (method == RequestMethod::Post) {
        m_postData = QByteArray(body.data(), static_cast<qsizetype>(body.size()));
    }
}

QNetworkRequest CBindStatusCallback::DescribeRequest(const QUrl& address) const {
    QNetworkRequest request(address);
    // Always the newest version, nothing kept in a cache.
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    // A plain reply only: a compressed one could unpack to any size before
    // the length limit sees it.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Kavelin/1.00b"));
    if (m_nMethod == RequestMethod::Post && !m_postData.isEmpty()) {
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QString::fromLatin1(kFormContentType));
    }
    return request;
}

void CBindStatusCallback::OnRedirecting() {
    m_bRedirected = true;
    m_nMethod = RequestMethod::Get;
    m_postData.clear();
}

bool CBindStatusCallback::OnDataAvailable(QIODevice& source) {
    while (source.bytesAvailable() > 0) {
        if (m_nReceived >= kMaxReplyLength) {
            return false;
        }
        const auto wanted = std::min({static_cast<std::size_t>(source.bytesAvailable()),
                                      kMaxReplyBlock, kMaxReplyLength - m_nReceived});
        // QByteArray keeps a zero byte behind its data.
        const QByteArray block = source.read(static_cast<qint64>(wanted));
        if (block.isEmpty()) {
            break;
        }
        m_nReceived += static_cast<std::size_t>(block.size());
        if (m_handler) {
            m_handler(block.constData(), static_cast<std::size_t>(block.size()));
        }
    }
    return m_nReceived < kMaxReplyLength || source.bytesAvailable() == 0;
}

CUrlRequest::CUrlRequest(QObject* parent) : QObject(parent) {}

CUrlRequest::~CUrlRequest() {
    Reset();
}

bool CUrlRequest::Reset() {
    Drop();
    m_pCallback.reset();
    m_nRedirections = 0;
    return true;
}

bool CUrlRequest::IsActive() const {
    return m_pReply != nullptr;
}

bool CUrlRequest::Start(const std::string& address, const std::string& body, RequestMethod method,
                        BlockHandler handler) {
    Reset();
    const QUrl url(QString::fromStdString(address), QUrl::StrictMode);
    if (address.empty() || !IsWebScheme(url)) {
        return false;
    }
    m_pManager = NetworkAccess();
    if (m_pManager == nullptr) {
        return false;
    }
    m_pCallback = std::make_unique<CBindStatusCallback>(method, body, std::move(handler));
    Send(url);
    return true;
}

void CUrlRequest::Send(const QUrl& address) {
    Log(LogLevel::Info, "network",
        (m_pCallback->Method() == RequestMethod::Post ? "POST " : "GET ") +
            address.toString(QUrl::RemoveUserInfo).toStdString());
    const QNetworkRequest request = m_pCallback->DescribeRequest(address);
    m_pReply = m_pCallback->Method() == RequestMethod::Post
                   ? m_pManager->post(request, m_pCallback->PostData())
                   : m_pManager->get(request);
    // Keeps what the reply holds in memory small; the rest waits in the socket.
    m_pReply->setReadBufferSize(static_cast<qint64>(kMaxReplyBlock));
    connect(m_pReply, &QNetworkReply::readyRead, this, &CUrlRequest::OnReadyRead);
    connect(m_pReply, &QNetworkReply::finished, this, &CUrlRequest::OnFinished);
}

void CUrlRequest::OnReadyRead() {
    if (!Deliver()) {
        End();
    }
}

void CUrlRequest::OnFinished() {
    QNetworkReply* reply = m_pReply;
    if (reply == nullptr) {
        return;
    }
    if (!Deliver()) {
        End();
        return;
    }
    const QVariant location = reply->attribute(QNetworkRequest::RedirectionTargetAttribute);
    const QUrl target = reply->url().resolved(location.toUrl());
    const bool redirected = reply->error() == QNetworkReply::NoError &&
                            IsRedirection(StatusCode(*reply)) && location.isValid() &&
                            MayRedirect(reply->url(), target);
    if (redirected && m_nRedirections < kMaxRedirections) {
        Drop();
        ++m_nRedirections;
        m_pCallback->OnRedirecting();
        Send(target);
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        Log(LogLevel::Warning, "network",
            reply->url().toString(QUrl::RemoveUserInfo).toStdString() + ": " +
                reply->errorString().toStdString());
    } else {
        Log(LogLevel::Info, "network",
            reply->url().toString(QUrl::RemoveUserInfo).toStdString() + ": HTTP " +
                std::to_string(StatusCode(*reply)));
    }
    End();
}

bool CUrlRequest::Deliver() {
    QNetworkReply* reply = m_pReply;
    if (reply == nullptr) {
        return true;
    }
    const int status = StatusCode(*reply);
    if (status < 200 || status > 299) {
        // An error page or the body of a redirection is not the reply.
        reply->skip(reply->bytesAvailable());
        return true;
    }
    return m_pCallback->OnDataAvailable(*reply);
}

void CUrlRequest::End() {
    Drop();
    emit TransferEnded();
}

void CUrlRequest::Drop() {
    if (m_pReply == nullptr) {
        return;
    }
    QNetworkReply* reply = m_pReply;
    m_pReply = nullptr;
    disconnect(reply, nullptr, this, nullptr);
    if (reply->isRunning()) {
        reply->abort();
    }
    reply->deleteLater();
}

}  // namespace kavelin
