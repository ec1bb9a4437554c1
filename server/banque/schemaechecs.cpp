#include "server/banque/schemaechecs.h"

QStringList schemaEchecsCles()
{
    return {
        QStringLiteral("CREATE TABLE IF NOT EXISTS key_failures ("
                       " source TEXT PRIMARY KEY,"
                       " empty_at BIGINT NOT NULL,"
                       " last_at BIGINT NOT NULL)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS key_failures_last_at ON key_failures (last_at)"),
    };
}

// One statement, so one commit: each wrong key adds one period to what its
// source still has to forget, from now at the earliest.
QString instructionCompterEchecs(qint64 periodeMs)
{
    return QStringLiteral("INSERT INTO key_failures AS f (source, empty_at, last_at) VALUES (?, ?, ?), (?, ?, ?)"
                          " ON CONFLICT (source) DO UPDATE SET"
                          " empty_at = CASE WHEN f.empty_at > excluded.last_at THEN f.empty_at ELSE excluded.last_at END + %1,"
                          " last_at = excluded.last_at"
                          " RETURNING source, empty_at")
        .arg(periodeMs);
}

QString instructionOublierEchecs()
{
    return QStringLiteral("DELETE FROM key_failures WHERE empty_at <= ?");
}

QString instructionBornerEchecs()
{
    return QStringLiteral("DELETE FROM key_failures WHERE last_at < "
                          "(SELECT last_at FROM key_failures ORDER BY last_at DESC LIMIT 1 OFFSET ?)");
}
