#ifndef PROTOCOLEPROXY_H
#define PROTOCOLEPROXY_H

#include <QString>

#include <cstddef>

// The header that a proxy (HAProxy's send-proxy and send-proxy-v2, stunnel's
// "protocol = proxy") puts before the client's first byte to say whom it
// relays: the PROXY protocol, version 1 (one line of text) or 2 (binary).
// Read strictly: whatever does not follow the protocol exactly is refused,
// since the connection that sent it is then closed.
struct EnteteProxy
{
    enum class Etat {
        Incomplet,  // a valid beginning so far: wait for more bytes
        Invalide,   // not a PROXY header, or a malformed one
        Complet,    // a whole header, of taille bytes
    };

    Etat etat = Etat::Incomplet;
    // Complet: the bytes the header took; the client's own bytes follow them.
    std::size_t taille = 0;
    // Complet: false when the proxy gives no client (a health check, an
    // unknown or unsupported family): the connection's own address stands.
    bool adresseFournie = false;
    // The client's address, written as the server writes a peer's (an
    // IPv4-mapped IPv6 address as its IPv4 one), and its port.
    QString adresse;
    quint16 port = 0;
    // Invalide: a short reason for the log.
    QString motif;
};

// The longest header of each version: version 1's own limit, and ours for
// version 2, far above what any proxy sends.
constexpr std::size_t tailleMaxProxyV1 = 107;
constexpr std::size_t tailleMaxProxyV2 = 2048;

// Reads the header at the start of what a connection has sent so far. Never
// Incomplet past the longest header: a peer cannot keep it waiting for more.
EnteteProxy lireEnteteProxy(const char *octets, std::size_t taille);

#endif
