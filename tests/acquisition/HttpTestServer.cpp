#include "tests/acquisition/HttpTestServer.h"

#include <QTest>
#include <algorithm>
#include <stdexcept>

#include "acquisition/Recommender.h"

namespace kavelin::test {
namespace {

constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    const auto last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// Parses a whole request from the front of `buffer`; false while more must arrive.
bool ParseRequest(std::string& buffer, SeenRequest& request) {
    const auto headerEnd = buffer.find("\r\n\r\n");
    if (headerEnd == std::string::npos) {
        if (buffer.size() > kMaxHeaderBytes) {
            throw std::runtime_error("request head too long");
        }
        return false;
    }
    const std::string head = buffer.substr(0, headerEnd);
    std::size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const auto firstBlank = requestLine.find(' ');
    const auto secondBlank = requestLine.find(' ', firstBlank + 1);
    request = SeenRequest{};
    request.method = requestLine.substr(0, firstBlank);
    request.target = requestLine.substr(firstBlank + 1, secondBlank - firstBlank - 1);
    while (lineEnd != std::string::npos) {
        const std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd - start);
        const auto colon = line.find(':');
        if (colon != std::string::npos) {
            request.headers[Lower(line.substr(0, colon))] = Trim(line.substr(colon + 1));
        }
    }
    const std::size_t length =
        request.HasHeader("content-length") ? std::stoul(request.Header("content-length")) : 0;
    if (buffer.size() < headerEnd + 4 + length) {
        return false;
    }
    request.body = buffer.substr(headerEnd + 4, length);
    buffer.erase(0, headerEnd + 4 + length);
    return true;
}

}  // namespace

std::string SeenRequest::Header(const std::string& name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? "" : found->second;
}

std::string HttpResponse(int status, const std::string& body, const std::string& extraHeaders) {
    return "HTTP/1.1 " + std::to_string(status) +
           " Test\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n" +
           extraHeaders + "\r\n" + body;
}

HttpTestServer::HttpTestServer() {
    m_responder = [](const SeenRequest&) {
        return std::vector<std::string>{HttpResponse(200, "")};
    };
    QObject::connect(&m_server, &QTcpServer::newConnection, [this] { OnNewConnection(); });
    if (!m_server.listen(QHostAddress::LocalHost, 0)) {
        throw std::runtime_error("test server cannot listen");
    }
}

std::string HttpTestServer::Address() const {
    return "http://127.0.0.1:" + std::to_string(m_server.serverPort());
}

void HttpTestServer::OnNewConnection() {
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        QObject::connect(socket, &QTcpSocket::readyRead, socket,
                         [this, socket] { OnReadyRead(socket); });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
            m_received.erase(socket);
            if (m_pWaiting == socket) {
                m_pWaiting = nullptr;
                m_pending.clear();
            }
            socket->deleteLater();
        });
    }
}

void HttpTestServer::OnReadyRead(QTcpSocket* socket) {
    const QByteArray data = socket->readAll();
    std::string& buffer = m_received[socket];
    buffer.append(data.constData(), static_cast<std::size_t>(data.size()));
    SeenRequest request;
    if (!ParseRequest(buffer, request)) {
        return;
    }
    m_requests.push_back(request);
    std::vector<std::string> pieces = m_responder(request);
    if (pieces.empty()) {
        return;
    }
    m_pWaiting = socket;
    m_pending.assign(pieces.begin() + 1, pieces.end());
    Write(socket, pieces.front(), m_pending.empty());
}

void HttpTestServer::SendNextPiece() {
    if (m_pWaiting == nullptr || m_pending.empty()) {
        return;
    }
    const std::string piece = m_pending.front();
    m_pending.pop_front();
    Write(m_pWaiting, piece, m_pending.empty());
}

void HttpTestServer::Write(QTcpSocket* socket, const std::string& piece, bool last) {
    socket->write(piece.data(), static_cast<qint64>(piece.size()));
    socket->flush();
    if (last) {
        socket->disconnectFromHost();
    }
}

std::string UnreachableAddress() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const auto port = probe.serverPort();
    probe.close();
    return "http://127.0.0.1:" + std::to_string(port);
}

bool WaitUntil(const std::function<bool()>& done) {
    return QTest::qWaitFor(done, 10000);
}

bool WaitForLookupsToEnd() {
    return WaitUntil([] { return SimilarArtistLookupsUnderWay() == 0; });
}

}  // namespace kavelin::test
