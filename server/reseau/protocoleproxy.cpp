#include "server/reseau/protocoleproxy.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view signatureV1 = "PROXY ";
constexpr std::array<unsigned char, 12> signatureV2 = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                                       0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
// Signature, version and command, family and transport, length of the rest.
constexpr std::size_t tailleFixeV2 = 16;

// What version 2 says after its fixed part, for each family and transport
// that the protocol defines: the size of the addresses and ports, and the
// family whose source address and port come first (AF_UNSPEC: none to use).
// UDP and UNIX sockets, which no client of ours comes through, count as
// unspecified, as the protocol asks of a receiver that does not support them.
struct FamilleV2
{
    unsigned char code;
    std::size_t tailleAdresses;
    int famille;
};
constexpr std::array<FamilleV2, 6> famillesV2 = {{
    {0x11, 12, AF_INET},
    {0x21, 36, AF_INET6},
    {0x12, 12, AF_UNSPEC},
    {0x22, 36, AF_UNSPEC},
    {0x31, 216, AF_UNSPEC},
    {0x32, 216, AF_UNSPEC},
}};

EnteteProxy incomplet()
{
    return {};
}

EnteteProxy invalide(const char *motif)
{
    EnteteProxy entete;
    entete.etat = EnteteProxy::Etat::Invalide;
    entete.motif = QString::fromLatin1(motif);
    return entete;
}

EnteteProxy complet(std::size_t taille)
{
    EnteteProxy entete;
    entete.etat = EnteteProxy::Etat::Complet;
    entete.taille = taille;
    return entete;
}

EnteteProxy completAvecClient(std::size_t taille, const QString &adresse, quint16 port)
{
    EnteteProxy entete = complet(taille);
    entete.adresseFournie = true;
    entete.adresse = adresse;
    entete.port = port;
    return entete;
}

// Whether what has arrived agrees with the start of attendu.
bool commencePar(const char *octets, std::size_t taille, const void *attendu, std::size_t tailleAttendu)
{
    return std::memcmp(octets, attendu, std::min(taille, tailleAttendu)) == 0;
}

quint16 lireMot(const char *octets)
{
    return quint16((quint16(quint8(octets[0])) << 8) | quint8(octets[1]));
}

// The text that the server's own connections give for a peer (inet_ntop's),
// so that a client counts as the same source directly and through a proxy.
QString texteAdresse(int famille, const unsigned char *octets)
{
    static constexpr unsigned char prefixeV4[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (famille == AF_INET6 && std::memcmp(octets, prefixeV4, sizeof prefixeV4) == 0) {
        famille = AF_INET;
        octets += sizeof prefixeV4;
    }
    char texte[INET6_ADDRSTRLEN] = {};
    if (!::inet_ntop(famille, octets, texte, sizeof texte))
        return {};
    return QString::fromLatin1(texte);
}

// inet_pton takes only the canonical forms: for IPv4, four numbers of 0 to
// 255 without leading zeros, as the protocol requires.
bool lireAdresse(std::string_view texte, int famille, unsigned char *octets)
{
    char copie[INET6_ADDRSTRLEN];
    if (texte.empty() || texte.size() >= sizeof copie)
        return false;
    std::memcpy(copie, texte.data(), texte.size());
    copie[texte.size()] = '\0';
    return ::inet_pton(famille, copie, octets) == 1;
}

// Decimal, 0 to 65535, no leading zero.
bool lirePort(std::string_view texte, quint16 *port)
{
    if (texte.empty() || texte.size() > 5 || (texte.size() > 1 && texte.front() == '0'))
        return false;
    quint32 valeur = 0;
    for (const char chiffre : texte) {
        if (chiffre < '0' || chiffre > '9')
            return false;
        valeur = valeur * 10 + quint32(chiffre - '0');
    }
    if (valeur > 65535)
        return false;
    *port = quint16(valeur);
    return true;
}

// The line between "PROXY " and its CRLF: "TCP4 a b p q", "TCP6 a b p q" or
// "UNKNOWN" and anything.
EnteteProxy lireLigneV1(std::string_view ligne, std::size_t taille)
{
    // What follows UNKNOWN is to be ignored: it says nothing to rely on.
    if (ligne == "UNKNOWN" || ligne.substr(0, 8) == "UNKNOWN ")
        return complet(taille);

    // Protocol, two addresses, two ports; one more is room to see too many.
    std::array<std::string_view, 6> champs;
    std::size_t nombre = 0;
    for (std::size_t debut = 0; nombre < champs.size();) {
        const std::size_t espace = ligne.find(' ', debut);
        champs[nombre++] = ligne.substr(debut, espace == std::string_view::npos ? espace : espace - debut);
        if (espace == std::string_view::npos)
            break;
        debut = espace + 1;
    }

    int famille = AF_UNSPEC;
    if (champs[0] == "TCP4")
        famille = AF_INET;
    else if (champs[0] == "TCP6")
        famille = AF_INET6;
    else
        return invalide("unknown protocol");
    if (nombre < 5)
        return invalide("missing fields");
    if (nombre > 5)
        return invalide("too many fields");

    unsigned char source[16];
    unsigned char destination[16];
    if (!lireAdresse(champs[1], famille, source) || !lireAdresse(champs[2], famille, destination))
        return invalide("bad address");
    quint16 portSource = 0;
    quint16 portDestination = 0;
    if (!lirePort(champs[3], &portSource) || !lirePort(champs[4], &portDestination))
        return invalide("bad port");
    return completAvecClient(taille, texteAdresse(famille, source), portSource);
}

// Version 1: one line of printable ASCII that ends with CRLF within 107 bytes.
EnteteProxy lireV1(const char *octets, std::size_t taille)
{
    const std::size_t borne = std::min(taille, tailleMaxProxyV1);
    std::size_t fin = 0;
    for (; fin < borne && octets[fin] != '\r'; ++fin) {
        const unsigned char caractere = static_cast<unsigned char>(octets[fin]);
        if (caractere == '\n')
            return invalide("line ends without CR");
        if (caractere < 0x20 || caractere > 0x7E)
            return invalide("not a line of text");
    }
    if (fin + 2 > tailleMaxProxyV1)
        return invalide("no CRLF within 107 bytes");
    if (fin + 2 > taille)
        return incomplet();
    if (octets[fin + 1] != '\n')
        return invalide("CR without LF");
    return lireLigneV1(std::string_view(octets + signatureV1.size(), fin - signatureV1.size()), fin + 2);
}

// Every TLV (type, 16-bit length, value) within the rest of the header, none cut.
bool tlvsEntiers(const char *octets, std::size_t taille)
{
    std::size_t position = 0;
    while (position < taille) {
        if (taille - position < 3)
            return false;
        position += 3 + lireMot(octets + position + 1);
    }
    return position == taille;
}

EnteteProxy lireBlocV2(unsigned char code, const char *bloc, std::size_t tailleBloc, std::size_t taille)
{
    // Unspecified: the proxy gives no address to use.
    if (code == 0x00)
        return complet(taille);
    const auto famille = std::find_if(famillesV2.begin(), famillesV2.end(),
                                      [code](const FamilleV2 &candidate) { return candidate.code == code; });
    if (famille == famillesV2.end())
        return invalide("unknown family or transport");
    if (tailleBloc < famille->tailleAdresses)
        return invalide("addresses cut short");
    if (!tlvsEntiers(bloc + famille->tailleAdresses, tailleBloc - famille->tailleAdresses))
        return invalide("malformed TLV");
    if (famille->famille == AF_UNSPEC)
        return complet(taille);

    const std::size_t tailleAdresse = famille->famille == AF_INET ? 4 : 16;
    unsigned char source[16];
    std::memcpy(source, bloc, tailleAdresse);
    return completAvecClient(taille, texteAdresse(famille->famille, source), lireMot(bloc + 2 * tailleAdresse));
}

// Version 2: signature, version and command, family and transport, length,
// then as many bytes as the length says: addresses, ports, TLVs.
EnteteProxy lireV2(const char *octets, std::size_t taille)
{
    if (taille < tailleFixeV2)
        return incomplet();
    const unsigned char versionCommande = static_cast<unsigned char>(octets[12]);
    if (versionCommande >> 4 != 2)
        return invalide("unknown version");
    const unsigned char commande = versionCommande & 0x0F;
    if (commande > 1)
        return invalide("unknown command");
    const std::size_t total = tailleFixeV2 + lireMot(octets + 14);
    if (total > tailleMaxProxyV2)
        return invalide("header too long");
    if (taille < total)
        return incomplet();
    // LOCAL: the proxy's own connection (a health check); its block, whatever
    // its family, is to be ignored.
    if (commande == 0)
        return complet(total);
    return lireBlocV2(static_cast<unsigned char>(octets[13]), octets + tailleFixeV2, total - tailleFixeV2, total);
}

} // namespace

EnteteProxy lireEnteteProxy(const char *octets, std::size_t taille)
{
    if (taille == 0)
        return incomplet();
    if (octets[0] == signatureV1.front()) {
        if (!commencePar(octets, taille, signatureV1.data(), signatureV1.size()))
            return invalide("not a PROXY header");
        return taille < signatureV1.size() ? incomplet() : lireV1(octets, taille);
    }
    if (!commencePar(octets, taille, signatureV2.data(), signatureV2.size()))
        return invalide("not a PROXY header");
    return lireV2(octets, taille);
}
