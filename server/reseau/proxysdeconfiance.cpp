#include "server/reseau/proxysdeconfiance.h"

#include <QtEndian>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace {

struct Adresse
{
    QHostAddress hote;
    int bits = 0;        // 32 or 128
    bool mappee = false; // an IPv4-mapped IPv6 address, read as its IPv4 one
};

// inet_pton rather than QHostAddress, which takes "127.1" and "010.0.0.1"
// (read as 10.0.0.1): an administrator's typo must not widen the list.
bool lireAdresse(const QString &texte, Adresse *adresse)
{
    const bool chiffresSeuls = std::all_of(texte.begin(), texte.end(), [](QChar c) {
        return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))
               || (c >= QLatin1Char('A') && c <= QLatin1Char('F')) || c == QLatin1Char('.') || c == QLatin1Char(':');
    });
    if (texte.isEmpty() || !chiffresSeuls)
        return false;
    const QByteArray latin = texte.toLatin1();
    quint8 octets[16];
    if (::inet_pton(AF_INET, latin.constData(), octets) == 1) {
        *adresse = {QHostAddress(qFromBigEndian<quint32>(octets)), 32, false};
        return true;
    }
    if (::inet_pton(AF_INET6, latin.constData(), octets) != 1)
        return false;
    static constexpr quint8 prefixeV4[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(octets, prefixeV4, sizeof prefixeV4) == 0)
        *adresse = {QHostAddress(qFromBigEndian<quint32>(octets + 12)), 32, true};
    else
        *adresse = {QHostAddress(octets), 128, false};
    return true;
}

// A prefix length in plain decimal, no sign, no leading zero.
int lireLongueur(const QString &texte, int maximum)
{
    if (texte.isEmpty() || texte.size() > 3 || (texte.size() > 1 && texte.front() == QLatin1Char('0')))
        return -1;
    for (const QChar c : texte) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return -1;
    }
    const int longueur = texte.toInt();
    return longueur <= maximum ? longueur : -1;
}

bool lireSousReseau(const QString &element, SousReseau *sousReseau, QString *erreur)
{
    const QString refus = QStringLiteral("\"%1\" is not an address nor a network (address/prefix length)").arg(element);
    const int barre = element.indexOf(QLatin1Char('/'));
    Adresse adresse;
    if (!lireAdresse(barre < 0 ? element : element.left(barre), &adresse)) {
        *erreur = refus;
        return false;
    }
    if (barre < 0) {
        *sousReseau = {adresse.hote, adresse.bits};
        return true;
    }
    // A mapped network (::ffff:10.0.0.0/104) covers the IPv4 one under its 96 fixed bits.
    const int ecart = adresse.mappee ? 96 : 0;
    const int longueur = lireLongueur(element.mid(barre + 1), adresse.bits + ecart) - ecart;
    if (longueur < 0) {
        *erreur = refus;
        return false;
    }
    const SousReseau reseau = QHostAddress::parseSubnet(adresse.hote.toString() + QLatin1Char('/') + QString::number(longueur));
    if (reseau.first != adresse.hote) {
        *erreur = QStringLiteral("\"%1\" has bits set past its prefix length: the network is %2/%3")
                      .arg(element, reseau.first.toString())
                      .arg(reseau.second);
        return false;
    }
    *sousReseau = reseau;
    return true;
}

} // namespace

bool lireProxysDeConfiance(const QString &texte, QList<SousReseau> *proxys, QString *erreur)
{
    QList<SousReseau> lus;
    for (const QString &brut : texte.split(QLatin1Char(','))) {
        const QString element = brut.trimmed();
        if (element.isEmpty()) {
            *erreur = QStringLiteral("an empty item in the list of trusted proxies");
            return false;
        }
        SousReseau sousReseau;
        if (!lireSousReseau(element, &sousReseau, erreur))
            return false;
        lus << sousReseau;
    }
    *proxys = lus;
    return true;
}

bool estProxyDeConfiance(const QList<SousReseau> &proxys, const QString &adresse)
{
    // A link-local peer may carry its interface ("fe80::1%eth0"): the list names none.
    Adresse pair;
    if (!lireAdresse(adresse.section(QLatin1Char('%'), 0, 0), &pair))
        return false;
    return std::any_of(proxys.begin(), proxys.end(),
                       [&pair](const SousReseau &reseau) { return pair.hote.isInSubnet(reseau); });
}
