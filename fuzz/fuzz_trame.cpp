// The client's reading of a byte stream from the server: frames taken off a
// device as the bytes trickle in, bodies read as texts, unscrambled and turned
// into the effect of each reply. The first input byte sets the size of the
// pieces; the replies must not depend on it.

#include "wire/codec.h"
#include "conversation/reponse.h"
#include "wire/trame.h"
#include "history/historique.h"

#include <QBuffer>
#include <QStringList>

#include <cstdint>
#include <cstdlib>

namespace {

const QString compteInstalle = QStringLiteral("0A1B2C3D4E5F");

void verifier(bool condition)
{
    if (!condition)
        std::abort();
}

// Every reply that the stream holds, read in pieces of morceau bytes.
QStringList lire(const QByteArray &flot, int morceau)
{
    QByteArray recu;
    QBuffer source(&recu);
    source.open(QIODevice::ReadOnly);
    quint16 tailleAttendue = 0;
    QString solde = QStringLiteral("- - - - - -");
    QStringList reponses;
    for (int debut = 0; debut < flot.size(); debut += morceau) {
        recu.append(flot.mid(debut, morceau));
        QByteArray corps;
        while (prendreCorpsTrame(source, tailleAttendue, corps)) {
            const QString texte = lireTexteTrame(corps);
            // A body read as a text is exactly that text's encoding.
            if (!texte.isEmpty())
                verifier(construireTrame(texte).mid(2) == corps);
            const QString reponse = debrouiller(texte);
            verifier(reponse.size() == (texte.size() + 3) / 4);
            reponses.append(reponse);

            const EffetReponse effet = analyserReponse(reponse, solde, compteInstalle);
            verifier((effet.genre == EffetReponse::Genre::Ignoree) == effet.ligne.isEmpty()
                     || effet.genre == EffetReponse::Genre::Information);
            if (effet.genre == EffetReponse::Genre::Recu || effet.genre == EffetReponse::Genre::Envoye)
                verifier(QString::number(lireNombre(effet.solde)) == effet.solde);
            if (!effet.corpsHistorique.isEmpty())
                verifier(nomDeFichierSimple(effet.compteHistorique));
            if (effet.changeSolde)
                solde = effet.solde;
        }
    }
    return reponses;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *donnees, size_t taille)
{
    if (taille < 1)
        return 0;
    const int morceau = 1 + donnees[0] % 64;
    const QByteArray flot(reinterpret_cast<const char *>(donnees + 1), int(taille - 1));
    verifier(lire(flot, morceau) == lire(flot, flot.size() + 1));
    return 0;
}
