#include "loopback_server.h"

#include "store/compression.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace bw::test {

LoopbackServer::LoopbackServer() {
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            // The request may have arrived before readyRead was connected.
            if (socket->bytesAvailable() > 0)
                serve(socket);
        }
    });
}

LoopbackServer::~LoopbackServer() {
    m_server.close();
}

QByteArray LoopbackServer::compressed(const std::string& text) {
    auto data =
        compressedData(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    return data ? QByteArray(reinterpret_cast<const char*>(data->data()), static_cast<qsizetype>(data->size()))
                : QByteArray();
}

std::string LoopbackServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_server.serverPort()) + path;
}

void LoopbackServer::serve(QTcpSocket* socket) {
    QByteArray& buffer = m_pending[socket];
    buffer += socket->readAll();
    int end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return;
    QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
    m_pending.erase(socket);
    QByteArray target = requestLine.size() >= 2 ? requestLine[1] : QByteArray("/");
    m_requests.push_back(target.toStdString());
    QByteArray path = target.left(target.indexOf('?') < 0 ? target.size() : target.indexOf('?'));
    auto it = m_routes.find(path);
    Route route = it == m_routes.end() ? Route("not found", 404) : it->second;
    QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + (route.status == 200 ? " OK" : " Error") +
                      "\r\nContent-Length: " + QByteArray::number(route.body.size()) +
                      "\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n" +
                      (route.location.isEmpty() ? QByteArray() : "Location: " + route.location + "\r\n") + "\r\n";
    socket->write(head);
    if (route.stallAfter >= 0) {
        socket->write(route.body.left(route.stallAfter));
        return;
    }
    socket->write(route.body);
    socket->disconnectFromHost();
}

} // namespace bw::test
