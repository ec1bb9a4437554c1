#include "server/banque/schema.h"

#include "server/banque/lotpostgres.h"
#include "server/banque/schemacreations.h"
#include "server/banque/schemaechecs.h"
#include "server/banque/schemagrappe.h"

#include <QSqlQuery>
#include <QVariant>

namespace {

// Version 1: the accounts and their two journals, as the first release made them.
QStringList schemaVersion1(bool postgres)
{
    const QString identifiant = postgres ? QStringLiteral("BIGSERIAL PRIMARY KEY") : QStringLiteral("INTEGER PRIMARY KEY");
    return {
        QStringLiteral("CREATE TABLE IF NOT EXISTS accounts ("
                       " account TEXT PRIMARY KEY CHECK (length(account) = 12),"
                       " key_hash TEXT NOT NULL,"
                       " balance BIGINT NOT NULL DEFAULT 0 CHECK (balance BETWEEN 0 AND 2147483647),"
                       " created_at TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS credits ("
                       " id %1,"
                       " account TEXT NOT NULL REFERENCES accounts (account),"
                       " amount BIGINT NOT NULL CHECK (amount > 0),"
                       " created_at TEXT NOT NULL)")
            .arg(identifiant),
        QStringLiteral("CREATE TABLE IF NOT EXISTS transfers ("
                       " id %1,"
                       " sender TEXT NOT NULL REFERENCES accounts (account),"
                       " recipient TEXT NOT NULL REFERENCES accounts (account),"
                       " amount BIGINT NOT NULL CHECK (amount > 0),"
                       " created_at TEXT NOT NULL)")
            .arg(identifiant),
    };
}

// Version 2: wrong keys counted in the database, for every server and across restarts.
QStringList schemaVersion2(bool)
{
    return schemaEchecsCles();
}

// Version 3: the servers of a cluster, who holds which account, and the
// triggers that tell every server of the money moved.
QStringList schemaVersion3(bool postgres)
{
    return instructionsGrappe(postgres);
}

// Version 4: a lot of transfers in one round trip to PostgreSQL.
QStringList schemaVersion4(bool postgres)
{
    return postgres ? schemaLotPostgres() : QStringList();
}

// Version 5: new accounts counted per address in the database, for every server.
QStringList schemaVersion5(bool)
{
    return schemaCreationsComptes();
}

// One statement that gives one number, or -1.
int nombre(QSqlDatabase &base, const QString &sql, QSqlError *erreur)
{
    QSqlQuery requete(base);
    int valeur = -1;
    if (requete.exec(sql) && requete.next())
        valeur = requete.value(0).toInt();
    else if (erreur)
        *erreur = requete.lastError();
    requete.finish();
    return valeur;
}

int nombreDeTables(QSqlDatabase &base, bool postgres, const QString &noms, QSqlError *erreur)
{
    const QString sql = postgres ? QStringLiteral("SELECT COUNT(*) FROM information_schema.tables"
                                                  " WHERE table_schema = current_schema() AND table_name IN (%1)")
                                 : QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table'"
                                                  " AND name IN (%1)");
    return nombre(base, sql.arg(noms), erreur);
}

int lireVersion(QSqlDatabase &base, bool postgres, QSqlError *erreur)
{
    const int versionnee = nombreDeTables(base, postgres, QStringLiteral("'schema_version'"), erreur);
    if (versionnee < 0)
        return -1;
    if (versionnee == 1)
        return nombre(base, QStringLiteral("SELECT MAX(version) FROM schema_version"), erreur);
    // Made before the schema had a version: its tables are version 1.
    const int tables =
        nombreDeTables(base, postgres, QStringLiteral("'accounts', 'credits', 'transfers'"), erreur);
    if (tables < 0)
        return -1;
    return tables == 3 ? 1 : 0;
}

class Transaction
{
public:
    Transaction(QSqlDatabase &base, bool postgres)
        : base(base)
    {
        // IMMEDIATE: SQLite's write lock at once, so that a second server waits here.
        ouverte = executer(postgres ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE"));
        if (ouverte && postgres)
            ouverte = executer(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(verrouSchemaPostgres));
    }
    ~Transaction()
    {
        if (ouverte)
            QSqlQuery(base).exec(QStringLiteral("ROLLBACK"));
    }

    bool executer(const QString &sql)
    {
        QSqlQuery requete(base);
        if (requete.exec(sql))
            return true;
        erreur = requete.lastError();
        return false;
    }
    bool valider()
    {
        if (!executer(QStringLiteral("COMMIT")))
            return false;
        ouverte = false;
        return true;
    }

    QSqlDatabase &base;
    bool ouverte = false;
    QSqlError erreur;
};

// One step, all or nothing; false with etat's error set.
bool franchir(QSqlDatabase &base, bool postgres, int version, EtapeSchema etape, EtatSchema *etat)
{
    Transaction transaction(base, postgres);
    bool fait = transaction.ouverte;
    // Another server may have made this step while this one waited for the lock.
    const int trouvee = fait ? lireVersion(base, postgres, &transaction.erreur) : -1;
    fait = trouvee >= 0;
    if (fait && trouvee < version) {
        const QStringList instructions = etape(postgres);
        for (const QString &sql : instructions) {
            if (fait)
                fait = transaction.executer(sql);
        }
        const QString table = QStringLiteral("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
        fait = fait && transaction.executer(table) && transaction.executer(QStringLiteral("DELETE FROM schema_version"))
               && transaction.executer(QStringLiteral("INSERT INTO schema_version (version) VALUES (%1)").arg(version));
    }
    if (fait && transaction.valider())
        return true;
    etat->issue = IssueSchema::Echec;
    etat->erreurSql = transaction.erreur;
    etat->erreur = QStringLiteral("cannot upgrade the database to version %1: %2")
                       .arg(version)
                       .arg(transaction.erreur.text().simplified());
    return false;
}

} // namespace

const std::vector<EtapeSchema> &etapesSchema()
{
    // One line per version, in order; never change a step once released.
    static const std::vector<EtapeSchema> etapes{
        schemaVersion1,
        schemaVersion2,
        schemaVersion3,
        schemaVersion4,
        schemaVersion5,
    };
    return etapes;
}

int versionSchemaConnue()
{
    return int(etapesSchema().size());
}

int lireVersionSchema(QSqlDatabase &base, bool postgres, QString *erreur)
{
    QSqlError erreurSql;
    const int version = lireVersion(base, postgres, &erreurSql);
    if (version < 0 && erreur)
        *erreur = erreurSql.text().simplified();
    return version;
}

EtatSchema preparerSchema(QSqlDatabase &base, bool postgres, const std::vector<EtapeSchema> &etapes)
{
    EtatSchema etat;
    // Read first: a server starts on a full disk, or on a read-only database.
    etat.version = lireVersion(base, postgres, &etat.erreurSql);
    if (etat.version < 0) {
        etat.erreur = QStringLiteral("cannot read the schema version: %1").arg(etat.erreurSql.text().simplified());
        return etat;
    }
    const int connue = int(etapes.size());
    if (etat.version > connue) {
        etat.issue = IssueSchema::TropRecent;
        etat.erreur = QStringLiteral("the database has schema version %1, this server knows up to %2: "
                                     "run a newer qovi-server on it")
                          .arg(etat.version)
                          .arg(connue);
        return etat;
    }
    for (int version = etat.version + 1; version <= connue; ++version) {
        if (!franchir(base, postgres, version, etapes[size_t(version - 1)], &etat))
            return etat;
    }
    etat.issue = IssueSchema::AJour;
    return etat;
}
