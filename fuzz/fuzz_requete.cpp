// The server's reading of a request: either a frame body (first input byte
// even), unscrambled as the server does, or a plain text (odd) made of the
// remaining bytes as UTF-16 units, which reaches the parser's corners faster.
// A request accepted as well-formed must hold exactly what its kind promises.

#include "wire/codec.h"
#include "wire/trame.h"
#include "server/protocole/requete.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void verifier(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *donnees, size_t taille)
{
    if (taille < 1)
        return 0;
    QString texte;
    if (donnees[0] % 2 == 0) {
        texte = debrouiller(lireTexteTrame(QByteArray(reinterpret_cast<const char *>(donnees + 1), int(taille - 1))));
    } else {
        texte = QString(int((taille - 1) / 2), Qt::Uninitialized);
        std::memcpy(texte.data(), donnees + 1, size_t(texte.size()) * 2);
    }

    const Requete requete = analyserRequete(texte);
    switch (requete.genre) {
    case Requete::Genre::Identifiants:
        verifier(estNumeroCompte(requete.compte) && estCle(requete.cle));
        verifier(texte == QStringLiteral("c:") + requete.compte + QLatin1Char(':') + requete.cle
                              + QStringLiteral(":vers101"));
        break;
    case Requete::Genre::Virement:
        verifier(estNumeroCompte(requete.compte) && estNumeroCompte(requete.destinataire) && estCle(requete.cle));
        verifier(requete.compte != requete.destinataire);
        verifier(requete.montant >= 1 && requete.montant <= montantMax);
        verifier(texte.startsWith(QStringLiteral("v:") + requete.compte + QLatin1Char(':') + requete.destinataire
                                  + QLatin1Char(':')));
        break;
    default:
        verifier(!requete.motif.isEmpty());
        break;
    }
    return 0;
}
