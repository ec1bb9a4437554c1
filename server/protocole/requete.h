#ifndef REQUETE_H
#define REQUETE_H

#include <QString>

// One client request, read from its plain text ("c:ACCOUNT:KEY:vers101" or
// "v:OWN:RECIPIENT:AMOUNT:KEY:vers101") and checked for form only: whether
// the account exists or the key is right is the server's business.
struct Requete
{
    enum class Genre {
        Identifiants,           // well-formed credentials
        IdentifiantsMalformes,  // "c:" whose fields are not an account and a key: refused
        Virement,               // well-formed transfer
        VirementMalforme,       // "v:" with a bad field: refused, the connection goes on
        Rejet,                  // no version tag, unknown kind, empty: the connection ends
    };

    Genre genre = Genre::Rejet;
    QString compte;        // "c:" account, or "v:" own account
    QString cle;
    QString destinataire;  // "v:" only
    int montant = 0;       // "v:" only, 1..montantMax
    QString motif;         // for VirementMalforme and Rejet: a plain sentence for the client
};

constexpr int montantMax = 999999999;

Requete analyserRequete(const QString &texte);

bool estNumeroCompte(const QString &texte);
bool estCle(const QString &texte);

#endif
