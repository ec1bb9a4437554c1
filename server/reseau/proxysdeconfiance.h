#ifndef PROXYSDECONFIANCE_H
#define PROXYSDECONFIANCE_H

#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

// The sources that the administrator trusts to say, in a PROXY protocol
// header, whom they relay: single addresses and networks, IPv4 or IPv6.
// A network is its address and its prefix length, as QHostAddress has it.
using SousReseau = QPair<QHostAddress, int>;

// Reads a comma-separated list such as "127.0.0.1,10.0.0.0/8,::1" (blanks
// around items allowed). A network's address has no bit set past its prefix;
// an IPv4-mapped IPv6 item counts as its IPv4 one. False, with a message that
// names the faulty item, if any item is not an address or a network.
bool lireProxysDeConfiance(const QString &texte, QList<SousReseau> *proxys, QString *erreur);

// Whether a peer's address is in the list; an IPv4 peer seen through an IPv6
// socket (::ffff:127.0.0.1) is its IPv4 address.
bool estProxyDeConfiance(const QList<SousReseau> &proxys, const QString &adresse);

#endif
