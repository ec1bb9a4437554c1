#ifndef SCHEMAECHECS_H
#define SCHEMAECHECS_H

#include <QString>
#include <QStringList>

// The recent wrong keys, kept in the database so that every server on it
// counts the same ones, and a restart forgets none. One row per source (an
// account, an address), with the moment (ms since the epoch) when all its
// wrong keys are forgotten and that of the last one. Rows of an address and
// account that older servers wrote are read by nobody and go when forgotten.
// The same statements on SQLite and PostgreSQL.

// Idempotent: run when the database's tables are created.
QStringList schemaEchecsCles();

// Counts one wrong key for two sources at once: bound (source, moment +
// periode, moment) twice; gives (source, empty_at) for each.
QString instructionCompterEchecs(qint64 periodeMs);
// (moment): drops the sources whose wrong keys are all forgotten.
QString instructionOublierEchecs();
// (rang): keeps the rang sources counted last, drops the others.
QString instructionBornerEchecs();

#endif
