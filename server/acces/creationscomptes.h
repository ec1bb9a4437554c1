#ifndef CREATIONSCOMPTES_H
#define CREATIONSCOMPTES_H

#include "server/acces/compteursrecents.h"

#include <QElapsedTimer>
#include <QString>

class Banque;
class QSqlQuery;

// How many accounts each address created lately, counted before the account
// is made, in the database (server/banque/schemacreations.h) so that every
// server on it shares one limit, and in this process's memory as well: when
// the database cannot be written, one server alone still holds its limit.
class CreationsComptes
{
public:
    // Used on the bank's thread only (server/banque/guichet.h), but for
    // limiter, before the bank's first call.
    explicit CreationsComptes(int parMinute);

    void limiter(int parMinute);

    // Counts one creation from source, unless it has had its share this minute.
    bool admettre(Banque &banque, const QString &source);

private:
    enum class Compte { Admise, Refusee, EnPanne };
    Compte compterEnBase(Banque &banque, const QString &source, qint64 maintenant);
    void elaguer(Banque &banque, qint64 maintenant);
    Compte echouer(Banque &banque, const QSqlQuery &requete);

    int parMinute;
    CompteursRecents memoire;
    QElapsedTimer monotone;
    qint64 dernierElagage = 0;
    bool enPanne = false;
};

#endif
