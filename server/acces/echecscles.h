#ifndef ECHECSCLES_H
#define ECHECSCLES_H

#include "server/acces/compteursrecents.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <QString>

class Banque;

// The recent wrong keys per account and per address, counted in the database (server/banque/schemaechecs.h) for every
// server on it, and in this process's memory as well. The larger count of
// the two decides: when the database cannot be read or written, guessing
// is not let through faster than one server alone would allow, and a key
// that the database could not record is answered after the longest delay.
class EchecsCles
{
public:
    // Used on the bank's thread only (server/banque/guichet.h).
    EchecsCles();

    struct Refus
    {
        int parCompte;
        int parSource;
        qint64 delaiMs; // before the wrong key is answered
    };
    // Counts one wrong key.
    Refus compter(Banque &banque, const QString &compte, const QString &source);

private:
    bool ecrire(Banque &banque, const QString cles[2], qint64 maintenant, qint64 videA[2]);
    void elaguer(Banque &banque, qint64 maintenant);
    bool echouer(Banque &banque, const QSqlQuery &requete);
    void reussir();

    CompteursRecents comptes;
    CompteursRecents sources;
    QElapsedTimer monotone;
    qint64 dernierElagage = 0;
    bool enPanne = false;
};

#endif
