// The PROXY protocol header as a trusted proxy's connection starts: any bytes
// at all. Besides reading nothing out of bounds, the verdict on a prefix
// holds for what extends it, a whole header is read the same without what
// follows it, and a header that gives a client gives a plain address.

#include "server/reseau/protocoleproxy.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void verifier(bool condition)
{
    if (!condition)
        std::abort();
}

bool memes(const EnteteProxy &a, const EnteteProxy &b)
{
    return a.etat == b.etat && a.taille == b.taille && a.adresseFournie == b.adresseFournie && a.adresse == b.adresse
           && a.port == b.port && a.motif == b.motif;
}

// The address as the server writes a peer's: one inet_pton reads back, and
// never an IPv4 address dressed as IPv6.
void verifierAdresse(const QString &adresse)
{
    const QByteArray texte = adresse.toLatin1();
    unsigned char octets[16];
    if (::inet_pton(AF_INET, texte.constData(), octets) == 1)
        return;
    verifier(::inet_pton(AF_INET6, texte.constData(), octets) == 1);
    static const unsigned char prefixeV4[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    verifier(std::memcmp(octets, prefixeV4, sizeof prefixeV4) != 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *donnees, size_t taille)
{
    const char *octets = reinterpret_cast<const char *>(donnees);
    const EnteteProxy lu = lireEnteteProxy(octets, taille);
    switch (lu.etat) {
    case EnteteProxy::Etat::Incomplet:
        verifier(taille < tailleMaxProxyV2 && lu.motif.isEmpty() && !lu.adresseFournie);
        if (taille > 0 && octets[0] == 'P')
            verifier(taille < tailleMaxProxyV1);
        break;
    case EnteteProxy::Etat::Invalide:
        verifier(!lu.motif.isEmpty() && lu.taille == 0 && !lu.adresseFournie);
        break;
    case EnteteProxy::Etat::Complet:
        verifier(lu.taille > 0 && lu.taille <= taille && lu.taille <= tailleMaxProxyV2 && lu.motif.isEmpty());
        verifier(memes(lireEnteteProxy(octets, lu.taille), lu));
        verifier(lireEnteteProxy(octets, lu.taille - 1).etat == EnteteProxy::Etat::Incomplet);
        if (lu.adresseFournie)
            verifierAdresse(lu.adresse);
        else
            verifier(lu.adresse.isEmpty() && lu.port == 0);
        break;
    }

    // One byte less: a verdict already given stands.
    if (taille > 0) {
        const EnteteProxy avant = lireEnteteProxy(octets, taille - 1);
        if (avant.etat == EnteteProxy::Etat::Invalide)
            verifier(lu.etat == EnteteProxy::Etat::Invalide);
        if (avant.etat == EnteteProxy::Etat::Complet)
            verifier(memes(avant, lu));
    }
    return 0;
}
