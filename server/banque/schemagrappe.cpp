#include "server/banque/schemagrappe.h"

#include <QSqlQuery>
#include <QVariant>

namespace {

// The payload is read by lireAvis (server/grappe/avis.h). The id keeps two
// equal movements of one transaction apart: PostgreSQL merges equal payloads.
// The origin is the writer's application name: a server skips what it wrote.
// Nothing is sent when no other server is written in `servers` (a server alone
// on its database): each notice wakes every listener, which costs a lone
// server 40 % of its transfers. A server writes itself there right after its
// LISTEN, before it takes clients, and again after each reconnection.
const char *const instructionsPostgres[] = {
    "CREATE TABLE IF NOT EXISTS servers ("
    " id TEXT PRIMARY KEY,"
    " started_at TIMESTAMPTZ NOT NULL DEFAULT now(),"
    " heartbeat TIMESTAMPTZ NOT NULL DEFAULT now())",
    "CREATE TABLE IF NOT EXISTS presence ("
    " server TEXT NOT NULL REFERENCES servers (id) ON DELETE CASCADE,"
    " account TEXT NOT NULL,"
    " PRIMARY KEY (account, server))",
    "CREATE INDEX IF NOT EXISTS presence_server ON presence (server)",
    "CREATE OR REPLACE FUNCTION qovi_notify_transfer() RETURNS trigger LANGUAGE plpgsql AS $$"
    " BEGIN"
    " IF EXISTS (SELECT 1 FROM servers WHERE id <> current_setting('application_name')) THEN"
    " PERFORM pg_notify('qovi_money', 't:' || NEW.id || ':' || NEW.recipient || ':' || NEW.amount || ':'"
    " || NEW.sender || ':' || current_setting('application_name'));"
    " END IF;"
    " RETURN NULL;"
    " END $$",
    "CREATE OR REPLACE FUNCTION qovi_notify_credit() RETURNS trigger LANGUAGE plpgsql AS $$"
    " BEGIN"
    " IF EXISTS (SELECT 1 FROM servers WHERE id <> current_setting('application_name')) THEN"
    " PERFORM pg_notify('qovi_money', 'c:' || NEW.id || ':' || NEW.account || ':' || NEW.amount || '::'"
    " || current_setting('application_name'));"
    " END IF;"
    " RETURN NULL;"
    " END $$",
    "DROP TRIGGER IF EXISTS transfers_notify ON transfers",
    "CREATE TRIGGER transfers_notify AFTER INSERT ON transfers FOR EACH ROW EXECUTE FUNCTION qovi_notify_transfer()",
    "DROP TRIGGER IF EXISTS credits_notify ON credits",
    "CREATE TRIGGER credits_notify AFTER INSERT ON credits FOR EACH ROW EXECUTE FUNCTION qovi_notify_credit()",
};

} // namespace

QStringList instructionsGrappe(bool postgres)
{
    QStringList liste;
    if (!postgres)
        return liste;
    for (const char *instruction : instructionsPostgres)
        liste.append(QString::fromLatin1(instruction));
    return liste;
}

bool grappePresente(QSqlDatabase &base, bool postgres)
{
    if (!postgres)
        return true;
    QSqlQuery requete(base);
    const bool present = requete.exec(QStringLiteral(
                             "SELECT to_regclass('servers') IS NOT NULL AND to_regclass('presence') IS NOT NULL"
                             " AND (SELECT COUNT(*) FROM pg_trigger"
                             " WHERE tgname IN ('transfers_notify', 'credits_notify') AND NOT tgisinternal) = 2"))
                         && requete.next() && requete.value(0).toBool();
    requete.finish();
    return present;
}
