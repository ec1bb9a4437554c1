#ifndef LOTPOSTGRES_H
#define LOTPOSTGRES_H

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVector>

// A lot of transfers made by PostgreSQL itself, in one statement: one round
// trip and one commit for all of them.

// The idempotent statements that create the function, run with the schema.
QStringList schemaLotPostgres();
// Whether the function is there, for the check that the schema is complete.
bool fonctionLotPresente(const QSqlDatabase &base);
// The call, with four parameters: senders, recipients and amounts as array
// texts, and the lot's time.
QString appelLotPostgres();
// An array of texts as PostgreSQL reads it: the account numbers are
// hexadecimal digits, nothing to quote.
QString tableauPostgres(const QStringList &elements);
// The outcome codes the function returns ("{0,1,3}"): false unless there is
// one code from 0 to 3 for each transfer.
bool lireIssuesLot(const QString &texte, int nombre, QVector<int> *codes);

// The codes of the function's outcomes.
enum class IssueLot { Fait = 0, SoldeInsuffisant = 1, Plafond = 2, CompteInconnu = 3 };

#endif
