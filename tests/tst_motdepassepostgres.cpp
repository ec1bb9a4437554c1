// The PostgreSQL password stays off the command line: the service gives the
// server an address without it, and libpq finds it in PGPASSWORD or in a
// password file.

#include "serveurdetest.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

class TestMotDePassePostgres : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sansMotDePasseDansLAdresse_data();
    void sansMotDePasseDansLAdresse();
};

void TestMotDePassePostgres::initTestCase()
{
    if (adressePostgresDeTest().isEmpty())
        QSKIP(sansPostgres);
}

void TestMotDePassePostgres::sansMotDePasseDansLAdresse_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("accepte");

    QTest::newRow("PGPASSWORD") << QStringLiteral("variable") << true;
    QTest::newRow("password file") << QStringLiteral("fichier") << true;
    QTest::newRow("no password anywhere") << QStringLiteral("aucune") << false;
}

void TestMotDePassePostgres::sansMotDePasseDansLAdresse()
{
    QFETCH(QString, source);
    QFETCH(bool, accepte);

    BaseDeTest base(QStringLiteral("postgresql"));
    QVERIFY(base.estPrete());
    QUrl adresse(base.url);
    const QString motDePasse = adresse.password();
    QVERIFY(!motDePasse.isEmpty());
    adresse.setPassword(QString());

    QTemporaryDir dossier;
    QProcessEnvironment environnement = QProcessEnvironment::systemEnvironment();
    environnement.remove(QStringLiteral("PGPASSWORD"));
    // Never the user's own password file.
    const QString fichier = dossier.filePath(QStringLiteral("pgpass"));
    environnement.insert(QStringLiteral("PGPASSFILE"), fichier);
    if (source == QLatin1String("variable"))
        environnement.insert(QStringLiteral("PGPASSWORD"), motDePasse);
    if (source == QLatin1String("fichier")) {
        QFile pgpass(fichier);
        QVERIFY(pgpass.open(QIODevice::WriteOnly));
        pgpass.write(QStringLiteral("*:*:*:%1:%2\n").arg(adresse.userName(), motDePasse).toUtf8());
        pgpass.close();
        // libpq ignores a password file that others may read.
        QVERIFY(pgpass.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    }

    ProcessusServeur serveur(adresse.toString());
    serveur.processus.setProcessEnvironment(environnement);
    QCOMPARE(serveur.demarrer(), accepte);
    if (!accepte) {
        // It gave up starting: ended, with an error.
        QCOMPARE(serveur.processus.state(), QProcess::NotRunning);
        QVERIFY(serveur.processus.exitCode() > 0);
        QVERIFY2(serveur.journal().contains(QLatin1String("password")), qPrintable(serveur.journal()));
        return;
    }
    QFile ligneDeCommande(QStringLiteral("/proc/%1/cmdline").arg(serveur.processus.processId()));
    QVERIFY(ligneDeCommande.open(QIODevice::ReadOnly));
    QVERIFY(!ligneDeCommande.readAll().contains(motDePasse.toUtf8()));
    QVERIFY(serveur.arreter());
}

QTEST_GUILESS_MAIN(TestMotDePassePostgres)
#include "tst_motdepassepostgres.moc"
