#ifndef SQLITE_H
#define SQLITE_H

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>

// What only SQLite needs: its file, its error codes, its write-ahead log.

// Created before SQLite sees it, so that the file (and its -wal and -shm
// companions, which take its mode) is readable by the owner only.
bool creerFichierPrive(const QString &chemin);

// The codes are SQLite's extended result codes, as the driver gives them.
bool refusDEcritureSqlite(const QString &code);
bool occupeeSqlite(const QString &code);
bool connexionPerdueSqlite(const QSqlError &erreur, const QSqlDatabase &base);

// SQLite: the file open here is no longer the one at the database's path
// (moved, removed or replaced): what is written here would not be found there.
bool fichierDeplace(const QSqlDatabase &base);

// The write-ahead log and its index stay on disk when the last connection
// closes. A server started again on a full disk then finds them: the index
// could not be created without room, and without it nothing can be read.
bool garderJournalSqlite(const QSqlDatabase &base, QString *erreur);

#endif
