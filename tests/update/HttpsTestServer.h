#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslServer>
#include <QTemporaryDir>
#include <QUrl>

#include <utility>

namespace strataloom::test {

// What the server answers to every request.
struct HttpResponse {
    int status = 200;
    // Sent as the Content-Type header unless empty.
    QByteArray contentType = "text/xml";
    QByteArray body;
    // Whether the body's length is sent; without it the closing connection ends the body.
    bool declareLength = true;
};

// An HTTPS server on 127.0.0.1 inside the test process. Its certificate is made
// with the openssl command when the server starts and is added to the default
// TLS configuration's trusted certificates, so the process's own requests
// trust it and nothing leaves the machine.
class HttpsTestServer : public QObject {
    Q_OBJECT
public:
    HttpsTestServer();

    // Whether the certificate could be made and the server is listening.
    bool isListening() const { return m_server.isListening(); }
    QUrl url(const QString& path = QStringLiteral("/manifest.plist")) const;

    void setResponse(const HttpResponse& response) { m_response = response; }
    // The request lines received so far, such as "GET /manifest.plist HTTP/1.1".
    const QList<QByteArray>& requests() const { return m_requests; }

private:
    void serve(QTcpSocket* socket);

    QTemporaryDir m_folder;
    QSslServer m_server;
    HttpResponse m_response;
    QList<QByteArray> m_requests;
};

} // namespace strataloom::test
