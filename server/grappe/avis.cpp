#include "server/grappe/avis.h"

#include "server/banque/banque.h"
#include "server/protocole/requete.h"

namespace {

// Digits only: no sign, no blank, no leading "+".
std::optional<qint64> lireEntier(const QByteArray &texte)
{
    if (texte.isEmpty() || texte.size() > 18)
        return std::nullopt;
    for (const char c : texte) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    return texte.toLongLong();
}

} // namespace

std::optional<AvisArgent> lireAvis(const QByteArray &charge)
{
    // Five separators; whatever follows the fifth is the origin.
    QList<QByteArray> champs;
    int debut = 0;
    for (int i = 0; i < 5; ++i) {
        const int fin = charge.indexOf(':', debut);
        if (fin < 0)
            return std::nullopt;
        champs.append(charge.mid(debut, fin - debut));
        debut = fin + 1;
    }
    AvisArgent avis;
    avis.origine = charge.mid(debut);

    const QByteArray &genre = champs[0];
    if (genre == "t")
        avis.genre = AvisArgent::Genre::Virement;
    else if (genre == "c")
        avis.genre = AvisArgent::Genre::Credit;
    else
        return std::nullopt;
    const auto numero = lireEntier(champs[1]);
    if (!numero)
        return std::nullopt;
    avis.numero = *numero;
    avis.compte = QString::fromLatin1(champs[2]);
    if (!estNumeroCompte(avis.compte) || avis.compte != avis.compte.toUpper())
        return std::nullopt;
    const auto montant = lireEntier(champs[3]);
    if (!montant || *montant < 1 || *montant > soldeMax)
        return std::nullopt;
    avis.montant = *montant;
    avis.source = QString::fromLatin1(champs[4]);
    const bool sourceAttendue = avis.genre == AvisArgent::Genre::Virement;
    if (sourceAttendue != !avis.source.isEmpty())
        return std::nullopt;
    if (sourceAttendue && (!estNumeroCompte(avis.source) || avis.source != avis.source.toUpper()))
        return std::nullopt;
    return avis;
}

QString reponseAvis(const AvisArgent &avis)
{
    const QString source = avis.genre == AvisArgent::Genre::Credit ? sourceCredit : avis.source;
    return QLatin1String("r:") + QString::number(avis.montant) + QLatin1Char(':') + source;
}
