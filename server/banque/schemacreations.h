#ifndef SCHEMACREATIONS_H
#define SCHEMACREATIONS_H

#include <QString>
#include <QStringList>

// The accounts created lately per address, kept in the database so that
// every server on it counts the same ones. One row per address, with the
// moment (ms since the epoch) when all its creations are forgotten and that
// of the last one. The same statements on SQLite and PostgreSQL.

// Idempotent: run when the database's tables are created.
QStringList schemaCreationsComptes();

// Counts one creation unless the address already has its plafond: bound
// (source, moment + periode, moment); gives one row (empty_at) when counted,
// none when refused. One statement, so that creations sent together, to one
// server or to several, cannot all pass.
QString instructionCompterCreation(qint64 periodeMs, int plafond);
// (moment): drops the addresses whose creations are all forgotten.
QString instructionOublierCreations();

#endif
