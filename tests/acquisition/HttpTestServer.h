#pragma once

#include <QTcpServer>
#include <QTcpSocket>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kavelin::test {

// One request as the server read it; header names in lower case.
struct SeenRequest {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers;
    std::string body;

    bool HasHeader(const std::string& name) const { return headers.count(name) != 0; }
    std::string Header(const std::string& name) const;
};

// A complete HTTP/1.1 response that closes its connection.
std::string HttpResponse(int status, const std::string& body, const std::string& extraHeaders = "");

// A small HTTP server on 127.0.0.1 for the tests, driven by the test's event
// loop. It records every request and answers with what the responder gives:
// the response in pieces, the first written at once and each further one
// when the test calls SendNextPiece().
class HttpTestServer {
public:
    using Responder = std::function<std::vector<std::string>(const SeenRequest&)>;

    HttpTestServer();

    // "http://127.0.0.1:<port>"
    std::string Address() const;
    void SetResponder(Responder responder) { m_responder = std::move(responder); }
    void SendNextPiece();
    const std::vector<SeenRequest>& Requests() const { return m_requests; }

private:
    void OnNewConnection();
    void OnReadyRead(QTcpSocket* socket);
    void Write(QTcpSocket* socket, const std::string& piece, bool last);

    QTcpServer m_server;
    Responder m_responder;
    std::map<QTcpSocket*, std::string> m_received;
    std::vector<SeenRequest> m_requests;
    QTcpSocket* m_pWaiting = nullptr;
    std::deque<std::string> m_pending;
};

// An address on loopback where nothing listens.
std::string UnreachableAddress();

// Runs the event loop until `done` holds or 10 seconds have passed.
bool WaitUntil(const std::function<bool()>& done);

// Waits until every similar-artist lookup has ended and been released, so
// that none outlives the catalog it writes to.
bool WaitForLookupsToEnd();

}  // namespace kavelin::test
