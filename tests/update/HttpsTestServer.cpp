#include "HttpsTestServer.h"

#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>

namespace strataloom::test {

HttpsTestServer::HttpsTestServer()
{
    const QString keyPath = m_folder.filePath(QStringLiteral("key.pem"));
    const QString certificatePath = m_folder.filePath(QStringLiteral("certificate.pem"));
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    openssl.start(QStringLiteral("openssl"),
                  QStringLiteral("req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost -addext "
                                 "subjectAltName=DNS:localhost,IP:127.0.0.1")
                          .split(QLatin1Char(' '))
                      + QStringList{QStringLiteral("-keyout"), keyPath, QStringLiteral("-out"), certificatePath});
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0)
        return;

    QFile keyFile(keyPath);
    QFile certificateFile(certificatePath);
    if (!keyFile.open(QIODevice::ReadOnly) || !certificateFile.open(QIODevice::ReadOnly))
        return;
    const QSslKey key(&keyFile, QSsl::Rsa);
    const QList<QSslCertificate> certificates = QSslCertificate::fromDevice(&certificateFile);
    if (key.isNull() || certificates.isEmpty())
        return;

    QSslConfiguration trusting = QSslConfiguration::defaultConfiguration();
    trusting.addCaCertificates(certificates);
    QSslConfiguration::setDefaultConfiguration(trusting);

    QSslConfiguration serving = QSslConfiguration::defaultConfiguration();
    serving.setLocalCertificate(certificates.first());
    serving.setPrivateKey(key);
    serving.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_server.setSslConfiguration(serving);
    connect(&m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection())
            serve(socket);
    });
    m_server.listen(QHostAddress::LocalHost);
}

QUrl HttpsTestServer::url(const QString& path) const
{
    return QUrl(QStringLiteral("https://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
}

void HttpsTestServer::serve(QTcpSocket* socket)
{
    socket->setParent(this);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    auto answer = [this, socket] {
        const QByteArray received = socket->peek(socket->bytesAvailable());
        if (!received.contains("\r\n\r\n") || socket->property("answered").toBool())
            return;
        socket->setProperty("answered", true);
        m_requests.append(received.left(received.indexOf("\r\n")));
        QByteArray head = "HTTP/1.1 " + QByteArray::number(m_response.status)
            + " Status\r\nConnection: close\r\n";
        if (m_response.declareLength)
            head += "Content-Length: " + QByteArray::number(m_response.body.size()) + "\r\n";
        if (!m_response.contentType.isEmpty())
            head += "Content-Type: " + m_response.contentType + "\r\n";
        socket->write(head + "\r\n" + m_response.body);
        socket->disconnectFromHost();
    };
    connect(socket, &QIODevice::readyRead, socket, answer);
    answer();
}

} // namespace strataloom::test
