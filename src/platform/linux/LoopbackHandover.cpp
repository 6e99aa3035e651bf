#include "platform/linux/LoopbackHandover.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr qsizetype maximumRequest = 8192;
constexpr int tokenBytes = 16;

// "0100007F:1F90" as /proc/net/tcp writes 127.0.0.1:8080: the address as the kernel
// stores it (network order read as a host word), the port in host order.
QByteArray procAddress(quint32 address, quint16 port)
{
    return QByteArray::number(htonl(address), 16).rightJustified(8, '0').toUpper() + ':'
        + QByteArray::number(port, 16).rightJustified(4, '0').toUpper();
}

std::optional<QByteArray> randomToken()
{
    unsigned char bytes[tokenBytes];
    if (::getrandom(bytes, sizeof bytes, 0) != sizeof bytes)
        return std::nullopt;
    return QByteArray(reinterpret_cast<const char *>(bytes), sizeof bytes).toHex();
}

bool sendAll(int fd, iovec *pieces, int count)
{
    while (count > 0) {
        msghdr message {};
        message.msg_iov = pieces;
        message.msg_iovlen = static_cast<size_t>(count);
        const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (sent < 0)
            return false;
        // Past what went out: whole pieces, then into the piece it stopped in.
        auto left = static_cast<size_t>(sent);
        for (; count > 0 && left >= pieces->iov_len; ++pieces, --count)
            left -= pieces->iov_len;
        if (count > 0) {
            pieces->iov_base = static_cast<char *>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
    return true;
}

} // namespace

std::optional<uint> connectionOwner(const QByteArray &listing, quint32 clientAddress, quint16 clientPort,
    quint32 serverAddress, quint16 serverPort)
{
    const QByteArray local = procAddress(clientAddress, clientPort);
    const QByteArray remote = procAddress(serverAddress, serverPort);
    // "sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ..."
    for (const QByteArray &line : listing.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 7 && fields[1] == local && fields[2] == remote) {
            bool number = false;
            const uint uid = fields[7].toUInt(&number);
            if (number)
                return uid;
        }
    }
    return std::nullopt;
}

std::optional<QByteArray> LoopbackHandover::offer(SecretBytes address)
{
    const std::optional<QByteArray> token = randomToken();
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in bound {};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof bound;
    if (!token || listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&bound), sizeof bound) != 0
        || ::listen(listener, 8) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&bound), &length) != 0) {
        if (listener >= 0)
            ::close(listener);
        return std::nullopt;
    }
    const QByteArray path = '/' + *token;
    new LoopbackHandover(listener, path, std::move(address));
    return "http://127.0.0.1:" + QByteArray::number(ntohs(bound.sin_port)) + path;
}

LoopbackHandover::LoopbackHandover(int listener, QByteArray path, SecretBytes address)
    : QObject(QCoreApplication::instance())
    , listener(listener)
    , incoming(new QSocketNotifier(listener, QSocketNotifier::Read, this))
    , path(std::move(path))
    , address(std::move(address))
{
    connect(incoming, &QSocketNotifier::activated, this, &LoopbackHandover::accept);
    QTimer::singleShot(lifetimeMs, this, &LoopbackHandover::finish);
}

LoopbackHandover::~LoopbackHandover()
{
    for (auto request = requests.cbegin(); request != requests.cend(); ++request)
        ::close(request.key());
    ::close(listener);
}

void LoopbackHandover::accept()
{
    for (;;) {
        sockaddr_in client {};
        socklen_t length = sizeof client;
        const int connection = ::accept4(
            listener, reinterpret_cast<sockaddr *>(&client), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (connection < 0)
            return;
        sockaddr_in server {};
        length = sizeof server;
        ::getsockname(connection, reinterpret_cast<sockaddr *>(&server), &length);
        // Any local user can connect to a loopback port; only ours may have the address.
        QFile table(QStringLiteral("/proc/net/tcp"));
        const std::optional<uint> owner = table.open(QIODevice::ReadOnly)
            ? connectionOwner(table.readAll(), ntohl(client.sin_addr.s_addr), ntohs(client.sin_port),
                ntohl(server.sin_addr.s_addr), ntohs(server.sin_port))
            : std::nullopt;
        if (owner != ::geteuid()) {
            ::close(connection);
            continue;
        }
        // Browsers open spare connections that may never carry a request: each waits apart.
        auto *readable = new QSocketNotifier(connection, QSocketNotifier::Read, this);
        requests.insert(connection, { readable, {} });
        connect(readable, &QSocketNotifier::activated, this, [this, connection] { read(connection); });
    }
}

void LoopbackHandover::read(int connection)
{
    Request &request = requests[connection];
    char buffer[2048];
    const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (got <= 0) {
        close(connection);
        return;
    }
    request.received.append(buffer, got);
    if (!request.received.contains("\r\n\r\n")) {
        if (request.received.size() > maximumRequest)
            close(connection);
        return;
    }
    if (!request.received.startsWith("GET " + path + ' ')) {
        static const char notFound[]
            = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        ::send(connection, notFound, sizeof notFound - 1, MSG_NOSIGNAL);
        close(connection);
        return;
    }
    // The address goes out straight from its own memory, and nowhere else.
    static const char head[] = "HTTP/1.1 303 See Other\r\nLocation: ";
    static const char tail[] = "\r\nCache-Control: no-store\r\nReferrer-Policy: no-referrer\r\n"
                               "Content-Length: 0\r\nConnection: close\r\n\r\n";
    iovec pieces[] = { { const_cast<char *>(head), sizeof head - 1 },
        { address.data(), static_cast<size_t>(address.size()) },
        { const_cast<char *>(tail), sizeof tail - 1 } };
    sendAll(connection, pieces, 3);
    close(connection);
    finish();
}

void LoopbackHandover::close(int connection)
{
    const Request request = requests.take(connection);
    delete request.readable;
    ::close(connection);
}

void LoopbackHandover::finish()
{
    incoming->setEnabled(false);
    address = SecretBytes();
    deleteLater();
}

} // namespace platform
