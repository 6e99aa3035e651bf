#pragma once

#include "platform/SecretBytes.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <optional>

class QSocketNotifier;

namespace platform {

// Hands an address that carries a secret to a browser without putting it on any command
// line, where every local user could read it: the browser is sent to a one-time address
// on the loopback interface, which redirects it to the real one. Only a connection that
// belongs to this user and asks for the one-time path is answered, once; after that, or
// after `lifetimeMs`, the address is wiped.
class LoopbackHandover final : public QObject
{
    Q_OBJECT
public:
    static constexpr int lifetimeMs = 30'000;

    // The one-time address to open, or nothing when no loopback socket can be had. The
    // handover lives on its own until it is done.
    static std::optional<QByteArray> offer(SecretBytes address);

    ~LoopbackHandover() override;

private:
    struct Request
    {
        QSocketNotifier *readable;
        QByteArray received;
    };

    LoopbackHandover(int listener, QByteArray path, SecretBytes address);
    void accept();
    void read(int connection);
    void close(int connection);
    void finish();

    int listener;
    QSocketNotifier *incoming;
    const QByteArray path;
    SecretBytes address;
    QHash<int, Request> requests;
};

// The owner of the TCP connection from `client` to `server` (both IPv4, host byte order)
// in a /proc/net/tcp listing, or nothing when it is not listed.
std::optional<uint> connectionOwner(const QByteArray &listing, quint32 clientAddress, quint16 clientPort,
    quint32 serverAddress, quint16 serverPort);

} // namespace platform
