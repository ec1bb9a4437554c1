#ifndef SCHEMA_H
#define SCHEMA_H

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>
#include <QStringList>

#include <vector>

// The database's schema carries a version: a one-row table schema_version,
// the same on SQLite and PostgreSQL, that an administrator can read with plain
// SQL. Each version is one step of idempotent statements; a server brings an
// older database up to its own version one step at a time, each step in its
// own transaction, and refuses a database that a newer server has upgraded.

// The statements of one step, for PostgreSQL or SQLite.
using EtapeSchema = QStringList (*)(bool postgres);

// The steps in order: step i brings the database to version i + 1.
const std::vector<EtapeSchema> &etapesSchema();

// The version that this server makes and understands.
int versionSchemaConnue();

enum class IssueSchema { AJour, TropRecent, Echec };

struct EtatSchema
{
    IssueSchema issue = IssueSchema::Echec;
    int version = 0;  // found in the database (before any upgrade)
    QString erreur;   // for Echec, on one line
    QSqlError erreurSql;
};

// The version of the database, read without writing: 0 for an empty database,
// 1 for one made before versions existed (its tables and no version).
// -1 when it cannot be read.
int lireVersionSchema(QSqlDatabase &base, bool postgres, QString *erreur = nullptr);

// Reads the version and, when it is older than the steps know, runs the
// missing steps in order. On PostgreSQL every step holds the advisory lock
// that start-up uses, so that servers starting together upgrade once.
EtatSchema preparerSchema(QSqlDatabase &base, bool postgres,
                          const std::vector<EtapeSchema> &etapes = etapesSchema());

// The lock that serialises schema changes on one PostgreSQL database.
constexpr int verrouSchemaPostgres = 50885;

#endif
