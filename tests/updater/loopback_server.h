#pragma once
// A tiny HTTP/1.1 server on 127.0.0.1 inside the test process, driven by the test's Qt event loop and
// stopped when the object goes. Each path answers with what the test set for it.

#include <QByteArray>
#include <QObject>
#include <QTcpServer>

#include <map>
#include <string>
#include <utility>
#include <vector>

class QTcpSocket;

namespace bw::test {

class LoopbackServer : public QObject {
public:
    struct Route {
        Route(QByteArray body = {}, int status = 200, qint64 stallAfter = -1, QByteArray location = {})
            : body(std::move(body)), status(status), stallAfter(stallAfter), location(std::move(location)) {}
        QByteArray body;
        int status;
        qint64 stallAfter;   // send only this many bytes of the body, then keep the connection silent
        QByteArray location; // sent as the Location header (redirects)
    };

    LoopbackServer();
    ~LoopbackServer() override;

    bool listening() const { return m_server.isListening(); }
    // "http://127.0.0.1:<port>" + path
    std::string url(const std::string& path) const;
    // The answer for a path (the query is ignored); unknown paths answer 404.
    void setRoute(const std::string& path, Route route) { m_routes[QByteArray::fromStdString(path)] = route; }
    // The zlib stream of a text, as the update script may answer.
    static QByteArray compressed(const std::string& text);
    // Every request target received, in order (path and query).
    const std::vector<std::string>& requests() const { return m_requests; }

private:
    void serve(QTcpSocket* socket);

    QTcpServer m_server;
    std::map<QByteArray, Route> m_routes;
    std::vector<std::string> m_requests;
    std::map<QTcpSocket*, QByteArray> m_pending;
};

} // namespace bw::test
