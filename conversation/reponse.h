#ifndef REPONSE_H
#define REPONSE_H

#include <QString>

// What one reply of the server does to the window. Working it out needs no
// window, so each kind of reply can be checked on its own.
struct EffetReponse
{
    enum class Genre { Ignoree, Refus, Echec, Information, Solde, NouveauCompte, Recu, Envoye };

    Genre genre = Genre::Ignoree;
    QString ligne;                  // the log line; empty for an ignored reply
    bool ligneEnTexteRiche = false; // only "i:" notices keep their markup
    bool changeSolde = false;
    QString solde;                  // the new balance text when changeSolde
    QString compteCree;             // the account number that an "n:" reply announces
    QString fichierCle;             // the key file that the account-creation box names
    QString compteHistorique;       // names the history file that gets the record
    QString corpsHistorique;        // the record's body; empty when there is none
};

// Numbers in replies and in the balance label: base 10, 32-bit signed, and
// anything that is not such a number counts as 0.
int lireNombre(const QString &texte);

// The effect of the reply texte, given the balance text shown now and the
// installation's account number.
EffetReponse analyserReponse(const QString &texte, const QString &soldeActuel, const QString &compteInstalle);

#endif
