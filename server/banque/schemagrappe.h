#ifndef SCHEMAGRAPPE_H
#define SCHEMAGRAPPE_H

#include <QSqlDatabase>
#include <QStringList>

// The objects that let several servers on one PostgreSQL database act as one:
// the servers alive and the accounts connected to each, and the triggers that
// announce every transfer and credit to all servers once committed. Nothing
// on SQLite, served by one process. Idempotent statements.
QStringList instructionsGrappe(bool postgres);

// Whether those objects are all there (read-only).
bool grappePresente(QSqlDatabase &base, bool postgres);

// The channel that the triggers notify.
inline constexpr char canalArgent[] = "qovi_money";

#endif
