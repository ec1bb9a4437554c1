// The schema's version and its upgrades, on SQLite and PostgreSQL: a database
// of the release before versions keeps its data, steps run in order and each
// one all or nothing, a newer database is refused, and servers starting
// together on an empty database upgrade it once.

#include "serveurdetest.h"

#include "server/banque/schema.h"

#include <QTest>

#include <memory>
#include <thread>

namespace {

// The statements of the release that had no schema version.
QStringList schemaSansVersion(bool postgres)
{
    const QString identifiant = postgres ? QStringLiteral("BIGSERIAL PRIMARY KEY") : QStringLiteral("INTEGER PRIMARY KEY");
    return {
        QStringLiteral("CREATE TABLE IF NOT EXISTS accounts (account TEXT PRIMARY KEY CHECK (length(account) = 12),"
                       " key_hash TEXT NOT NULL,"
                       " balance BIGINT NOT NULL DEFAULT 0 CHECK (balance BETWEEN 0 AND 2147483647),"
                       " created_at TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS credits (id %1, account TEXT NOT NULL REFERENCES accounts (account),"
                       " amount BIGINT NOT NULL CHECK (amount > 0), created_at TEXT NOT NULL)")
            .arg(identifiant),
        QStringLiteral("CREATE TABLE IF NOT EXISTS transfers (id %1, sender TEXT NOT NULL REFERENCES accounts (account),"
                       " recipient TEXT NOT NULL REFERENCES accounts (account),"
                       " amount BIGINT NOT NULL CHECK (amount > 0), created_at TEXT NOT NULL)")
            .arg(identifiant),
        QStringLiteral("INSERT INTO accounts VALUES ('0123456789AB', 'pbkdf2-sha256$x', 60, '2026-01-01T00:00:00Z')"),
        QStringLiteral("INSERT INTO accounts VALUES ('00AABBCCDDEE', 'pbkdf2-sha256$y', 40, '2026-01-01T00:00:00Z')"),
        QStringLiteral("INSERT INTO credits (account, amount, created_at) VALUES ('0123456789AB', 100, '2026-01-01')"),
        QStringLiteral("INSERT INTO transfers (sender, recipient, amount, created_at)"
                       " VALUES ('0123456789AB', '00AABBCCDDEE', 40, '2026-01-02')"),
    };
}

// A later step, as another part of the server would add one.
QStringList etapeNotes(bool)
{
    return {QStringLiteral("CREATE TABLE IF NOT EXISTS notes (account TEXT NOT NULL, note TEXT NOT NULL)"),
            QStringLiteral("INSERT INTO notes SELECT account, 'kept' FROM accounts")};
}

// A step that fails half-way.
QStringList etapeFautive(bool)
{
    return {QStringLiteral("CREATE TABLE half_done (x INTEGER)"), QStringLiteral("INSERT INTO no_such_table VALUES (1)")};
}

// The database at url, open under nom for the duration of one call.
template <typename Travail>
auto avecBase(const QString &url, bool postgres, Travail travail)
{
    const QString nom = QStringLiteral("schema-test");
    QString erreur;
    QSqlDatabase base = connexionBase(url, nom, &erreur);
    if (!base.open())
        qWarning() << base.lastError().text() << erreur;
    auto resultat = travail(base, postgres);
    base.close();
    base = QSqlDatabase();
    QSqlDatabase::removeDatabase(nom);
    return resultat;
}

} // namespace

class TestSchema : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data() { lignesBases(); }
    void init();
    void cleanup();

    void baseSansVersion();
    void etapesDansLOrdre();
    void etapeToutOuRien();
    void versionPlusRecente();
    void demarragesSimultanes();
    void etapeFaitePendantLAttente();

private:
    int version() { return int(base->nombre(QStringLiteral("SELECT MAX(version) FROM schema_version"))); }

    std::unique_ptr<BaseDeTest> base;
};

void TestSchema::init()
{
    QFETCH_GLOBAL(QString, genreBase);
    if (genreBase == QLatin1String("postgresql") && adressePostgresDeTest().isEmpty())
        QSKIP(sansPostgres);
    base = std::make_unique<BaseDeTest>(genreBase);
    QVERIFY(base->estPrete());
}

void TestSchema::cleanup()
{
    base.reset();
}

// A database made before versions is version 1, and the server uses it as it is.
void TestSchema::baseSansVersion()
{
    QVERIFY(base->executer(schemaSansVersion(base->estPostgres())));
    QCOMPARE(avecBase(base->url, base->estPostgres(),
                      [](QSqlDatabase &b, bool postgres) { return lireVersionSchema(b, postgres); }),
             1);
    const ResultatCommande comptes = lancerCommande({QStringLiteral("--database"), base->url, QStringLiteral("accounts")});
    QCOMPARE(comptes.code, 0);
    QVERIFY2(comptes.sortie.contains(QLatin1String("0123456789AB         60")), qPrintable(comptes.sortie));
    QCOMPARE(base->sommeSoldes(), base->sommeCredits());
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM transfers")), 1);
}

// An older database goes through the missing steps, keeping its data; a
// second run changes nothing.
void TestSchema::etapesDansLOrdre()
{
    QVERIFY(base->executer(schemaSansVersion(base->estPostgres())));
    std::vector<EtapeSchema> etapes = etapesSchema();
    etapes.push_back(etapeNotes);
    const int cible = int(etapes.size());
    for (int fois = 0; fois < 2; ++fois) {
        const EtatSchema etat = avecBase(base->url, base->estPostgres(), [&](QSqlDatabase &b, bool postgres) {
            return preparerSchema(b, postgres, etapes);
        });
        QVERIFY2(etat.issue == IssueSchema::AJour, qPrintable(etat.erreur));
        QCOMPARE(etat.version, fois == 0 ? 1 : cible);
    }
    QCOMPARE(version(), cible);
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM schema_version")), 1);
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM notes")), 2);
    QCOMPARE(base->sommeSoldes(), 100);
    QCOMPARE(base->sommeCredits(), 100);
}

// A step that fails leaves the database at the version before it, with
// nothing of the step done.
void TestSchema::etapeToutOuRien()
{
    QCOMPARE(lancerCommande({QStringLiteral("--database"), base->url, QStringLiteral("accounts")}).code, 0);
    QCOMPARE(version(), versionSchemaConnue());
    std::vector<EtapeSchema> etapes = etapesSchema();
    etapes.push_back(etapeFautive);
    const EtatSchema etat = avecBase(base->url, base->estPostgres(), [&](QSqlDatabase &b, bool postgres) {
        return preparerSchema(b, postgres, etapes);
    });
    QVERIFY(etat.issue == IssueSchema::Echec);
    QVERIFY2(etat.erreur.startsWith(QStringLiteral("cannot upgrade the database to version %1: ").arg(etapes.size())),
             qPrintable(etat.erreur));
    QCOMPARE(version(), versionSchemaConnue());
    const QString table = base->estPostgres()
                              ? QStringLiteral("SELECT COUNT(*) FROM information_schema.tables"
                                               " WHERE table_schema = current_schema() AND table_name = 'half_done'")
                              : QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE name = 'half_done'");
    QCOMPARE(base->nombre(table), 0);
}

// A database that a newer server has upgraded is not touched.
void TestSchema::versionPlusRecente()
{
    QCOMPARE(lancerCommande({QStringLiteral("--database"), base->url, QStringLiteral("accounts")}).code, 0);
    const int nouvelle = versionSchemaConnue() + 1;
    QVERIFY(base->executer({QStringLiteral("UPDATE schema_version SET version = %1").arg(nouvelle)}));
    const QString message = QStringLiteral("qovi-server: cannot use the database: the database has schema version %1,"
                                           " this server knows up to %2: run a newer qovi-server on it\n")
                                .arg(nouvelle)
                                .arg(versionSchemaConnue());
    for (const QStringList &arguments : {QStringList{QStringLiteral("accounts")},
                                         QStringList{QStringLiteral("--port"), QStringLiteral("0")}}) {
        const ResultatCommande resultat = lancerCommande(QStringList{QStringLiteral("--database"), base->url} + arguments);
        QCOMPARE(resultat.code, 78);
        QCOMPARE(resultat.erreurs, message);
    }
    QCOMPARE(version(), nouvelle);
}

// Servers started together on an empty database all serve, and the schema is
// made once.
void TestSchema::demarragesSimultanes()
{
    ProcessusServeur serveurs[3] = {ProcessusServeur(base->url), ProcessusServeur(base->url),
                                    ProcessusServeur(base->url)};
    const QRegularExpression ecoute(QStringLiteral("^listening on 127\\.0\\.0\\.1:\\d+$"));
    for (ProcessusServeur &serveur : serveurs) {
        serveur.processus.start(qEnvironmentVariable("QOVI_SERVER"),
                                {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--database"), base->url});
    }
    for (ProcessusServeur &serveur : serveurs) {
        QVERIFY(serveur.processus.waitForStarted(30000));
        QTRY_VERIFY2_WITH_TIMEOUT(serveur.processus.canReadLine() || serveur.processus.state() == QProcess::NotRunning,
                                  qPrintable(serveur.journal()), 60000);
        const QString ligne = QString::fromLocal8Bit(serveur.processus.readLine()).trimmed();
        QVERIFY2(ecoute.match(ligne).hasMatch(), qPrintable(ligne + QLatin1Char('\n') + serveur.journal()));
    }
    for (ProcessusServeur &serveur : serveurs)
        QVERIFY(serveur.arreter());
    QCOMPARE(version(), versionSchemaConnue());
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM schema_version")), 1);
}

// A server that waited for the lock while another made the step it was about
// to make does not make it again: it reads the version anew once it holds the
// lock. The other server here is this test, holding the lock itself.
void TestSchema::etapeFaitePendantLAttente()
{
    if (!base->estPostgres())
        QSKIP("the wait for the lock is seen in PostgreSQL's pg_locks only");
    QCOMPARE(lancerCommande({QStringLiteral("--database"), base->url, QStringLiteral("accounts")}).code, 0);
    QVERIFY(base->executer(
        {QStringLiteral("INSERT INTO accounts VALUES ('0123456789AB', 'pbkdf2-sha256$x', 0, '2026-01-01T00:00:00Z')"),
         QStringLiteral("INSERT INTO accounts VALUES ('00AABBCCDDEE', 'pbkdf2-sha256$y', 0, '2026-01-01T00:00:00Z')")}));
    std::vector<EtapeSchema> etapes = etapesSchema();
    etapes.push_back(etapeNotes);
    const int cible = int(etapes.size());

    const QString nomVerrou = QStringLiteral("schema-verrou");
    bool attendait = false;
    bool faite = true;
    EtatSchema etatSecond;
    {
        QString erreur;
        QSqlDatabase verrou = connexionBase(base->url, nomVerrou, &erreur);
        QVERIFY2(verrou.open(), qPrintable(verrou.lastError().text() + erreur));
        QSqlQuery tenir(verrou);
        QVERIFY(tenir.exec(QStringLiteral("BEGIN")));
        QVERIFY(tenir.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(verrouSchemaPostgres)));

        std::thread second([&] {
            etatSecond = avecBase(base->url, true, [&](QSqlDatabase &b, bool postgres) {
                return preparerSchema(b, postgres, etapes);
            });
        });
        attendait = QTest::qWaitFor(
            [&] {
                return base->nombre(QStringLiteral("SELECT COUNT(*) FROM pg_locks WHERE locktype = 'advisory' AND NOT granted"))
                       > 0;
            },
            30000);
        // The step, made here while the other waits; the lock goes with the commit.
        QStringList etape = etapeNotes(true);
        etape << QStringLiteral("DELETE FROM schema_version")
              << QStringLiteral("INSERT INTO schema_version (version) VALUES (%1)").arg(cible) << QStringLiteral("COMMIT");
        for (const QString &sql : qAsConst(etape))
            faite = faite && tenir.exec(sql);
        second.join();
    }
    QSqlDatabase::removeDatabase(nomVerrou);
    QVERIFY2(attendait, "the second server waits for the lock");
    QVERIFY(faite);
    QVERIFY2(etatSecond.issue == IssueSchema::AJour, qPrintable(etatSecond.erreur));
    QCOMPARE(version(), cible);
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM schema_version")), 1);
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM notes")), 2);
}

QTEST_GUILESS_MAIN(TestSchema)
#include "tst_schema.moc"
