#include "server/banque/schemacreations.h"

QStringList schemaCreationsComptes()
{
    return {
        QStringLiteral("CREATE TABLE IF NOT EXISTS account_creations ("
                       " source TEXT PRIMARY KEY,"
                       " empty_at BIGINT NOT NULL,"
                       " last_at BIGINT NOT NULL)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS account_creations_empty_at ON account_creations (empty_at)"),
    };
}

// Each creation adds one period to what its address still has to forget, from
// now at the earliest; the address is full when plafond periods are left.
QString instructionCompterCreation(qint64 periodeMs, int plafond)
{
    return QStringLiteral("INSERT INTO account_creations AS c (source, empty_at, last_at) VALUES (?, ?, ?)"
                          " ON CONFLICT (source) DO UPDATE SET"
                          " empty_at = CASE WHEN c.empty_at > excluded.last_at THEN c.empty_at ELSE excluded.last_at END + %1,"
                          " last_at = excluded.last_at"
                          " WHERE c.empty_at <= excluded.last_at + %2"
                          " RETURNING empty_at")
        .arg(periodeMs)
        .arg(periodeMs * qint64(plafond - 1));
}

QString instructionOublierCreations()
{
    return QStringLiteral("DELETE FROM account_creations WHERE empty_at <= ?");
}
