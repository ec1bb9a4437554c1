#ifndef PANNES_H
#define PANNES_H

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>

// What a database failure means for the server, whatever the dialect: the
// dialects' own codes are read in sqlite.h and postgres.h.

// What kind of failure stopped the database from opening, for the program's exit code.
enum class PanneBase { Injoignable, Occupee, Disque, SchemaTropRecent };

// The database refuses to write, but can still be read: a full disk, or a
// database made read-only.
bool refusDEcriture(const QSqlError &erreur, bool postgres);

PanneBase panneDe(const QSqlError &erreur, bool postgres);

// The error says that the connection itself is gone, not that one statement
// failed: PostgreSQL's connection errors and shutdowns, an error from the
// client library (no SQLSTATE), the driver finding the connection closed;
// SQLite's file that cannot be opened, is no database, or was moved.
bool connexionPerdue(const QSqlError &erreur, const QSqlDatabase &base);

// The error on one line, for the log.
QString surUneLigne(const QSqlError &erreur);

#endif
