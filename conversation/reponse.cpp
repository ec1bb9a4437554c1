#include "conversation/reponse.h"

#include "history/historique.h"

#include <QStringList>

#include <limits>

namespace {

// Sums beyond 32 bits stick to the nearest bound, so the balance stays a
// number that the next reply and the transfer check can read.
QString soldeBorne(qint64 valeur)
{
    const qint64 bas = std::numeric_limits<qint32>::min();
    const qint64 haut = std::numeric_limits<qint32>::max();
    return QString::number(qBound(bas, valeur, haut));
}

QString champ(const QStringList &champs, int indice)
{
    return indice < champs.size() ? champs.at(indice) : QString();
}

} // namespace

int lireNombre(const QString &texte)
{
    bool lu = false;
    const int nombre = texte.toInt(&lu, 10);
    return lu ? nombre : 0;
}

EffetReponse analyserReponse(const QString &texte, const QString &soldeActuel, const QString &compteInstalle)
{
    using Genre = EffetReponse::Genre;
    const QStringList champs = texte.split(QLatin1Char(':'));
    const QString dernier = champs.last();
    const QStringRef genre = texte.leftRef(2);

    EffetReponse effet;
    if (genre == QLatin1String("a:")) {
        effet.genre = Genre::Refus;
        effet.ligne = QStringLiteral("Failed Authentication");
    } else if (genre == QLatin1String("e:")) {
        effet.genre = Genre::Echec;
        effet.ligne = QStringLiteral("failure of the transaction: ") + dernier + QStringLiteral(" is not connected");
    } else if (genre == QLatin1String("i:")) {
        effet.genre = Genre::Information;
        effet.ligne = dernier;
        effet.ligneEnTexteRiche = true;
    } else if (genre == QLatin1String("m:")) {
        effet.genre = Genre::Solde;
        effet.ligne = QStringLiteral("Welcome, your balance is ") + dernier + QStringLiteral(" qovi$");
        effet.changeSolde = true;
        effet.solde = dernier;
    } else if (genre == QLatin1String("n:")) {
        effet.genre = Genre::NouveauCompte;
        effet.ligne = QStringLiteral("Welcome, your account has just been created; your account number is : ") + dernier;
        effet.changeSolde = true;
        effet.solde = QStringLiteral("0");
        effet.compteCree = dernier;
        // The server names the files: they must not lead outside the working
        // directory, and the box must not name a key file that is not there.
        const QString compteFichiers = nomDeFichierSimple(dernier) ? dernier : compteInstalle;
        effet.fichierCle = compteFichiers + QStringLiteral(".key");
        effet.compteHistorique = compteFichiers;
        effet.corpsHistorique = QStringLiteral("-account creation-") + dernier;
    } else if (genre == QLatin1String("r:")) {
        const QString montant = champ(champs, 1);
        const QString expediteur = champ(champs, 2);
        effet.genre = Genre::Recu;
        effet.ligne = expediteur + QStringLiteral("  has sent you an amount of ") + montant + QStringLiteral(" qovi$");
        effet.changeSolde = true;
        effet.solde = soldeBorne(qint64(lireNombre(soldeActuel)) + lireNombre(montant));
        effet.compteHistorique = compteInstalle;
        effet.corpsHistorique = QStringLiteral("-received-") + montant + QStringLiteral("-from-") + expediteur;
    } else if (genre == QLatin1String("s:")) {
        const QString destinataire = champ(champs, 1);
        const QString montant = champ(champs, 2);
        effet.genre = Genre::Envoye;
        effet.ligne = QStringLiteral("The transfer of ") + montant + QStringLiteral(" qovi$ to ") + destinataire
            + QStringLiteral(" is made");
        effet.changeSolde = true;
        effet.solde = soldeBorne(qint64(lireNombre(soldeActuel)) - lireNombre(montant));
        effet.compteHistorique = compteInstalle;
        effet.corpsHistorique = QStringLiteral("-sent-") + montant + QStringLiteral("-to-") + destinataire;
    }
    return effet;
}
