#include "server/protocole/requete.h"

#include <QStringList>

namespace {

const QLatin1String etiquetteVersion(":vers101");

bool chiffresSeulement(const QString &texte, bool hexadecimal)
{
    for (const QChar c : texte) {
        const bool chiffre = c >= QLatin1Char('0') && c <= QLatin1Char('9');
        const bool lettre = hexadecimal && c >= QLatin1Char('A') && c <= QLatin1Char('F');
        if (!chiffre && !lettre)
            return false;
    }
    return true;
}

Requete rejet(Requete::Genre genre, const char *motif)
{
    Requete requete;
    requete.genre = genre;
    requete.motif = QLatin1String(motif);
    return requete;
}

// A whole number of 1 to 9 decimal digits, from 1 up; 0 otherwise.
int lireMontant(const QString &texte)
{
    if (texte.isEmpty() || texte.size() > 9 || !chiffresSeulement(texte, false))
        return 0;
    return texte.toInt();
}

Requete identifiants(const QStringList &champs)
{
    if (champs.size() != 3 || !estNumeroCompte(champs[1]) || !estCle(champs[2]))
        return rejet(Requete::Genre::IdentifiantsMalformes, "Malformed credentials");
    Requete requete;
    requete.genre = Requete::Genre::Identifiants;
    requete.compte = champs[1];
    requete.cle = champs[2];
    return requete;
}

Requete virement(const QStringList &champs)
{
    const auto malforme = Requete::Genre::VirementMalforme;
    if (champs.size() != 5)
        return rejet(malforme, "Malformed transfer request");
    if (!estNumeroCompte(champs[1]) || !estCle(champs[4]))
        return rejet(malforme, "The transfer must come from your own account with your own key");
    if (!estNumeroCompte(champs[2]))
        return rejet(malforme, "The recipient must be an account number of 12 hexadecimal digits");
    if (champs[2] == champs[1])
        return rejet(malforme, "You cannot send money to your own account");
    const int montant = lireMontant(champs[3]);
    if (montant < 1)
        return rejet(malforme, "The amount must be a whole number from 1 to 999999999");

    Requete requete;
    requete.genre = Requete::Genre::Virement;
    requete.compte = champs[1];
    requete.destinataire = champs[2];
    requete.montant = montant;
    requete.cle = champs[4];
    return requete;
}

} // namespace

Requete analyserRequete(const QString &texte)
{
    if (!texte.endsWith(etiquetteVersion))
        return rejet(Requete::Genre::Rejet, "This server speaks protocol version 101 only");

    const QStringList champs = texte.left(texte.size() - etiquetteVersion.size()).split(QLatin1Char(':'));
    if (champs[0] == QLatin1String("c"))
        return identifiants(champs);
    if (champs[0] == QLatin1String("v"))
        return virement(champs);
    return rejet(Requete::Genre::Rejet, "Unknown request");
}

bool estNumeroCompte(const QString &texte)
{
    return texte.size() == 12 && chiffresSeulement(texte, true);
}

bool estCle(const QString &texte)
{
    return texte.size() == 20 && chiffresSeulement(texte, false);
}
