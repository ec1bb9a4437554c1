#ifndef SERVEURDETEST_H
#define SERVEURDETEST_H

// The real server for the tests: a fresh database of either kind, and the
// server program started on it.

#include "processuslie.h"
#include "server/banque/adressebase.h"
#include "server/banque/banque.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <cstdio>
#include <memory>

// The tests run on SQLite always, and on PostgreSQL too when QOVI_TEST_PG_URL
// names a role that may create databases.
inline void lignesBases()
{
    QTest::addColumn<QString>("genreBase");
    QTest::newRow("sqlite") << QStringLiteral("sqlite");
    QTest::newRow("postgresql") << QStringLiteral("postgresql");
}

inline QString adressePostgresDeTest()
{
    return qEnvironmentVariable("QOVI_TEST_PG_URL");
}

// A database of its own for one test: a file in a temporary folder, or a new
// PostgreSQL database that is dropped again afterwards.
class BaseDeTest
{
public:
    explicit BaseDeTest(const QString &genre)
    {
        if (genre == QLatin1String("sqlite")) {
            url = dossier.filePath(QStringLiteral("server.sqlite"));
            return;
        }
        nomPostgres = QStringLiteral("qovi_test_%1").arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
        if (!executerMaintenance(QStringLiteral("CREATE DATABASE %1").arg(nomPostgres)))
            return;
        QUrl adresse(adressePostgresDeTest());
        adresse.setPath(QLatin1Char('/') + nomPostgres);
        url = adresse.toString();
    }

    ~BaseDeTest()
    {
        if (!nomPostgres.isEmpty())
            executerMaintenance(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(nomPostgres));
    }

    bool estPrete() const { return !url.isEmpty(); }

    // The first column of every row that sql gives, read straight from the database.
    QVariantList lire(const QString &sql)
    {
        QVariantList valeurs;
        const QString nom = QStringLiteral("lecture-test");
        {
            QString erreurConnexion;
            QSqlDatabase base = connexionBase(url, nom, &erreurConnexion);
            if (base.open()) {
                QSqlQuery requete(base);
                if (!requete.exec(sql))
                    qWarning() << requete.lastError().text();
                while (requete.next())
                    valeurs.append(requete.value(0));
            } else {
                qWarning() << base.lastError().text() << erreurConnexion;
            }
        }
        QSqlDatabase::removeDatabase(nom);
        return valeurs;
    }

    qint64 nombre(const QString &sql) { return lire(sql).value(0, -1).toLongLong(); }

    // Money only enters by credits: the balances always add up to them.
    qint64 sommeSoldes() { return nombre(QStringLiteral("SELECT COALESCE(SUM(balance), 0) FROM accounts")); }
    qint64 sommeCredits() { return nombre(QStringLiteral("SELECT COALESCE(SUM(amount), 0) FROM credits")); }

    // Runs the statements one after the other, beside the server; false at the first that fails.
    bool executer(const QStringList &instructions)
    {
        bool fait = true;
        const QString nom = QStringLiteral("ecriture-test");
        {
            QString erreurConnexion;
            QSqlDatabase base = connexionBase(url, nom, &erreurConnexion);
            fait = base.open();
            if (!fait)
                qWarning() << base.lastError().text() << erreurConnexion;
            QSqlQuery requete(base);
            for (const QString &sql : instructions) {
                if (!fait)
                    break;
                fait = requete.exec(sql);
                if (!fait)
                    qWarning() << requete.lastError().text();
            }
        }
        QSqlDatabase::removeDatabase(nom);
        return fait;
    }

    bool estPostgres() const { return !nomPostgres.isEmpty(); }

    QString url;

private:
    bool executerMaintenance(const QString &sql)
    {
        bool fait = false;
        const QString nom = QStringLiteral("maintenance-test");
        {
            QString erreurConnexion;
            QSqlDatabase base = connexionBase(adressePostgresDeTest(), nom, &erreurConnexion);
            if (base.open()) {
                QSqlQuery requete(base);
                fait = requete.exec(sql);
                if (!fait)
                    qWarning() << requete.lastError().text();
            } else {
                qWarning() << base.lastError().text() << erreurConnexion;
            }
        }
        QSqlDatabase::removeDatabase(nom);
        return fait;
    }

    QTemporaryDir dossier;
    QString nomPostgres;
};

struct ResultatCommande
{
    int code = -1;
    QString sortie;
    QString erreurs;
};

// Runs the server program to its end (for the admin commands and start-up errors).
inline ResultatCommande lancerCommande(const QStringList &arguments)
{
    ProcessusLie processus;
    processus.start(qEnvironmentVariable("QOVI_SERVER"), arguments);
    ResultatCommande resultat;
    if (!processus.waitForFinished(60000)) {
        processus.kill();
        processus.waitForFinished();
        return resultat;
    }
    resultat.code = processus.exitStatus() == QProcess::NormalExit ? processus.exitCode() : -1;
    resultat.sortie = QString::fromLocal8Bit(processus.readAllStandardOutput());
    resultat.erreurs = QString::fromLocal8Bit(processus.readAllStandardError());
    return resultat;
}

// Credits an account through the admin command, as an administrator would.
inline bool crediterSur(const QString &adresse, const QString &compte, qint64 montant)
{
    return lancerCommande({QStringLiteral("--database"), adresse, QStringLiteral("credit"), compte,
                           QString::number(montant)})
               .code
           == 0;
}

inline bool crediter(const BaseDeTest &base, const QString &compte, qint64 montant)
{
    return crediterSur(base.url, compte, montant);
}

// Moves a SQLite database and its companions from one folder to another, over
// what is there, as an administrator's mv would.
inline bool deplacerBaseSqlite(const QString &de, const QString &vers)
{
    for (const QString &fichier : {QStringLiteral("server.sqlite"), QStringLiteral("server.sqlite-wal"),
                                   QStringLiteral("server.sqlite-shm")}) {
        if (std::rename(QFile::encodeName(QDir(de).filePath(fichier)).constData(),
                        QFile::encodeName(QDir(vers).filePath(fichier)).constData())
            != 0)
            return false;
    }
    return true;
}

// The first column of the first row of sql, on a connection of its own;
// invalid (with a warning) when the database cannot answer it.
inline QVariant interroger(const QString &adresse, const QString &sql)
{
    QVariant valeur;
    const QString nom = QStringLiteral("interrogation-de-test");
    {
        QString erreur;
        QSqlDatabase base = connexionBase(adresse, nom, &erreur);
        QSqlQuery requete(base);
        if (base.open() && requete.exec(sql) && requete.next())
            valeur = requete.value(0);
        else
            qWarning() << base.lastError().text() << requete.lastError().text() << erreur;
    }
    QSqlDatabase::removeDatabase(nom);
    return valeur;
}

// The server program serving a database on a free port of 127.0.0.1, with a
// time-out of 1 s for silent clients.
class ProcessusServeur
{
public:
    explicit ProcessusServeur(const QString &base)
        : base(base)
    {
    }

    ~ProcessusServeur() { tuer(); }

    bool demarrer(const QStringList &options = {QStringLiteral("--idle-timeout"), QStringLiteral("1")})
    {
        port = 0;
        tue = false;
        const QStringList arguments =
            QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--database"), base} + options;
        if (enveloppe.isEmpty()) {
            processus.setProgram(qEnvironmentVariable("QOVI_SERVER"));
            processus.setArguments(arguments);
        } else {
            processus.setProgram(enveloppe.first());
            processus.setArguments(enveloppe.mid(1) + QStringList(qEnvironmentVariable("QOVI_SERVER")) + arguments);
        }
        processus.start();
        port = quint16(lirePort(QStringLiteral("listening")));
        // With an endpoint for operators, its port follows on the next line.
        portSurveillance = 0;
        if (port != 0 && options.contains(QStringLiteral("--monitor-port")))
            portSurveillance = quint16(lirePort(QStringLiteral("monitoring")));
        return port != 0;
    }

    // The port of the next line "QUOI on 127.0.0.1:PORT" that the server prints, or 0.
    uint lirePort(const QString &quoi)
    {
        const QRegularExpression ligne(QStringLiteral("^%1 on 127\\.0\\.0\\.1:(\\d+)$").arg(quoi));
        uint lu = 0;
        (void)QTest::qWaitFor(
            [&] {
                if (processus.state() == QProcess::NotRunning)
                    return true;
                if (!processus.canReadLine())
                    return false;
                lu = ligne.match(QString::fromLocal8Bit(processus.readLine()).trimmed()).captured(1).toUInt();
                return true;
            },
            30000);
        return lu;
    }

    // Stops the server as an administrator would (SIGTERM); true when it ended
    // cleanly (under the sanitizers, that includes finding no leak).
    bool arreter()
    {
        if (processus.state() == QProcess::NotRunning)
            return tue;
        processus.terminate();
        if (!processus.waitForFinished(60000))
            return false;
        journal();
        return processus.exitStatus() == QProcess::NormalExit && processus.exitCode() == 0;
    }

    void tuer()
    {
        if (processus.state() == QProcess::NotRunning)
            return;
        tue = true;
        processus.kill();
        processus.waitForFinished(30000);
    }

    // What the server logged so far.
    QString journal()
    {
        erreurs += QString::fromLocal8Bit(processus.readAllStandardError());
        return erreurs;
    }

    bool journalContient(const QString &texte, int delaiMs = 15000)
    {
        return QTest::qWaitFor([&] { return journal().contains(texte); }, delaiMs);
    }

    QString base;
    // A program that starts the server, and its arguments (prlimit, for example).
    QStringList enveloppe;
    ProcessusLie processus;
    quint16 port = 0;
    quint16 portSurveillance = 0;  // with --monitor-port

private:
    QString erreurs;
    bool tue = false;
};

// The skip of a PostgreSQL case on a machine without a cluster at hand.
inline constexpr char sansPostgres[] =
    "needs PostgreSQL: QOVI_TEST_PG_URL is not set (scripts/postgres-test.sh starts a cluster)";

// For each test function (from init()): a fresh database of the kind that the
// test's global data names, and the server on it; skipped for PostgreSQL
// when no cluster is at hand. enveloppe: a program that starts the server (prlimit).
inline void ouvrirBancServeur(std::unique_ptr<BaseDeTest> &base, std::unique_ptr<ProcessusServeur> &serveur,
                              const QStringList &options = {QStringLiteral("--idle-timeout"), QStringLiteral("1")},
                              const QStringList &enveloppe = {})
{
    QFETCH_GLOBAL(QString, genreBase);
    if (genreBase == QLatin1String("postgresql") && adressePostgresDeTest().isEmpty())
        QSKIP(sansPostgres);
    base = std::make_unique<BaseDeTest>(genreBase);
    QVERIFY(base->estPrete());
    serveur = std::make_unique<ProcessusServeur>(base->url);
    serveur->enveloppe = enveloppe;
    QVERIFY2(serveur->demarrer(options), qPrintable(serveur->journal()));
}

// From cleanup(): stops the server, shows its log when something went wrong,
// and drops the database.
inline void fermerBancServeur(std::unique_ptr<BaseDeTest> &base, std::unique_ptr<ProcessusServeur> &serveur)
{
    const bool arrete = !serveur || serveur->arreter();
    if (serveur && (QTest::currentTestFailed() || !arrete))
        qWarning().noquote() << "server log:\n" << serveur->journal();
    serveur.reset();
    base.reset();
    QVERIFY2(arrete, "the server stops cleanly on SIGTERM");
}

#endif
