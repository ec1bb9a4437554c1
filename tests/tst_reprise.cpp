// The database goes away under a running server and comes back: meanwhile
// every request gets an honest notice at once and the log says so once; then
// the server serves again by itself, and no transfer it confirmed is lost.

#include "clientprotocole.h"
#include "postgresprive.h"
#include "serveurdetest.h"

#include "server/acces/identification.h"
#include "server/protocole/avisclient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTest>

#include <cstdio>

namespace {

int nombreDe(const QStringList &reponses, const QString &debut)
{
    return int(std::count_if(reponses.cbegin(), reponses.cend(),
                             [&](const QString &reponse) { return reponse.startsWith(debut); }));
}

// The first column of the first row, read beside the server.
qint64 lireNombre(const QString &url, const QString &sql)
{
    const QVariant valeur = interroger(url, sql);
    return valeur.isValid() ? valeur.toLongLong() : -1;
}

QString virementDeAVersB(int montant)
{
    return QStringLiteral("v:%1:%2:%3:%4").arg(compteA, compteB).arg(montant).arg(cleA);
}

const QString incertain = QStringLiteral("i:The server lost its database while recording this transfer");

} // namespace

class TestReprise : public QObject
{
    Q_OBJECT

private slots:
    void postgresRedemarre();
    void fichierSqliteDeplace();

private:
    void verifierComptes(const QString &url, const QStringList &reponses, qint64 credit);
    void verifierJournal(ProcessusServeur &serveur);
};

// Every confirmed transfer is in the database; the ones there that were not
// confirmed were answered as uncertain; the balances are what the journal says.
void TestReprise::verifierComptes(const QString &url, const QStringList &reponses, qint64 credit)
{
    const int confirmes = nombreDe(reponses, QStringLiteral("s:"));
    const int incertains = nombreDe(reponses, incertain);
    const qint64 faits = lireNombre(url, QStringLiteral("SELECT COUNT(*) FROM transfers"));
    QVERIFY2(faits >= confirmes && faits <= confirmes + incertains,
             qPrintable(QStringLiteral("%1 made, %2 confirmed, %3 uncertain").arg(faits).arg(confirmes).arg(incertains)));
    const qint64 envoye = lireNombre(url, QStringLiteral("SELECT COALESCE(SUM(amount), 0) FROM transfers"));
    QCOMPARE(lireNombre(url, QStringLiteral("SELECT balance FROM accounts WHERE account = '%1'").arg(compteA)),
             credit - envoye);
    QCOMPARE(lireNombre(url, QStringLiteral("SELECT balance FROM accounts WHERE account = '%1'").arg(compteB)), envoye);
}

// One line when the database went away, one when it came back, and no flood in between.
void TestReprise::verifierJournal(ProcessusServeur &serveur)
{
    QVERIFY(serveur.journalContient(QStringLiteral("database works again")));
    const QString journal = serveur.journal();
    QCOMPARE(journal.count(QStringLiteral("database connection lost")), 1);
    QCOMPARE(journal.count(QStringLiteral("database works again")), 1);
    QVERIFY2(!journal.contains(QLatin1String("QSql")) && !journal.contains(QLatin1String("Unable to free")),
             qPrintable(journal));
    // The listener of the other servers' notices has its own connection, and its own two lines.
    const QStringList lignes = journal.split(QLatin1Char('\n'));
    const auto surLaBase = std::count_if(lignes.cbegin(), lignes.cend(), [](const QString &ligne) {
        return ligne.contains(QLatin1String("database")) && !ligne.contains(QLatin1String("database notifications"));
    });
    QVERIFY2(surLaBase == 2, qPrintable(journal));
    QVERIFY2(journal.count(QLatin1String("database notifications")) <= 2, qPrintable(journal));
}

void TestReprise::postgresRedemarre()
{
    PostgresPrive postgres;
    const QString manque = postgres.preparer();
    if (!manque.isEmpty())
        QSKIP(qPrintable(manque));
    ProcessusServeur serveur(postgres.url());
    QVERIFY2(serveur.demarrer(), qPrintable(serveur.journal()));
    ClientProtocole a, b;
    QVERIFY(identifierClient(a, serveur.port, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifierClient(b, serveur.port, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(crediterSur(postgres.url(), compteA, 1000));

    // A burst of transfers, and PostgreSQL restarted in its middle: every one is answered.
    const int rafale = 300;
    for (int i = 0; i < rafale; ++i)
        a.envoyer(virementDeAVersB(1));
    QVERIFY(QTest::qWaitFor([&] { return nombreDe(a.reponses, QStringLiteral("s:")) >= 10; }, 30000));
    QVERIFY2(postgres.arreter(), qPrintable(postgres.sortie));
    QVERIFY(QTest::qWaitFor([&] { return a.reponses.size() == 1 + rafale; }, 60000));

    // While it is down, requests are refused at once, and honestly: the first
    // one may be the one that found the connection broken, while it was sent.
    const QString pendant = a.demander(virementDeAVersB(1), 5000);
    QVERIFY2(pendant.startsWith(QLatin1String("i:The transfer could not be recorded"))
                 || pendant.startsWith(QLatin1String("i:The server lost its database while recording")),
             qPrintable(pendant));
    const QString ensuite = a.demander(virementDeAVersB(1), 5000);
    QVERIFY2(ensuite.startsWith(QLatin1String("i:The transfer could not be recorded")), qPrintable(ensuite));
    ClientProtocole nouveau;
    QVERIFY(nouveau.connecter(serveur.port));
    QCOMPARE(nouveau.demander(identifiants(compteC, cleC), 5000), avisBaseInjoignable());
    QVERIFY(serveur.journalContient(QStringLiteral("database connection lost")));

    // Back within seconds of PostgreSQL's return, each try answered at once meanwhile.
    QVERIFY2(postgres.demarrer(), qPrintable(postgres.sortie));
    QElapsedTimer retour;
    retour.start();
    QVERIFY(QTest::qWaitFor([&] { return a.demander(virementDeAVersB(1), 5000).startsWith(QLatin1String("s:")); },
                            30000));
    qInfo("first transfer confirmed %lld ms after PostgreSQL was back", retour.elapsed());
    QCOMPARE(b.reponses.last(), QLatin1String("r:1:") + compteA);
    ClientProtocole apres;
    QVERIFY(apres.connecter(serveur.port));
    QVERIFY(apres.demander(identifiants(compteA, cleA)).startsWith(QLatin1String("m:")));

    verifierComptes(postgres.url(), a.reponses, 1000);
    verifierJournal(serveur);
    QVERIFY(serveur.arreter());
}

// SQLite works on the file it opened: moved away or replaced, what the
// server writes there would not be found at the database's path. It stops
// writing, and takes the file again once it is back.
void TestReprise::fichierSqliteDeplace()
{
    QTemporaryDir dossier;
    QVERIFY(dossier.isValid());
    const QString chemin = dossier.filePath(QStringLiteral("server.sqlite"));
    ProcessusServeur serveur(chemin);
    QVERIFY2(serveur.demarrer(), qPrintable(serveur.journal()));
    ClientProtocole a, b;
    QVERIFY(identifierClient(a, serveur.port, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifierClient(b, serveur.port, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(crediterSur(chemin, compteA, 1000));
    QCOMPARE(a.demander(virementDeAVersB(5)), QLatin1String("s:") + compteB + QLatin1String(":5"));

    // The database and its companions moved aside, as an administrator restoring a copy would begin.
    QVERIFY(QDir(dossier.path()).mkdir(QStringLiteral("ailleurs")));
    const QString ailleurs = dossier.filePath(QStringLiteral("ailleurs"));
    QVERIFY(deplacerBaseSqlite(dossier.path(), ailleurs));
    QVERIFY(QTest::qWaitFor([&] { return a.demander(virementDeAVersB(1), 5000).startsWith(QLatin1String("i:")); },
                            15000));
    ClientProtocole nouveau;
    QVERIFY(nouveau.connecter(serveur.port));
    QCOMPARE(nouveau.demander(identifiants(compteC, cleC), 5000), avisBaseInjoignable());
    QVERIFY(!QFile::exists(chemin));

    // An empty file in its place is opened, and not served.
    QFile vide(chemin);
    QVERIFY(vide.open(QIODevice::WriteOnly));
    vide.close();
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo(chemin).size() > 0; }, 15000));
    QVERIFY(a.demander(virementDeAVersB(1), 5000).startsWith(QLatin1String("i:")));

    // Put back: the server serves from it again.
    QVERIFY(deplacerBaseSqlite(ailleurs, dossier.path()));
    QVERIFY(QTest::qWaitFor([&] { return a.demander(virementDeAVersB(1), 5000).startsWith(QLatin1String("s:")); },
                            15000));
    verifierComptes(chemin, a.reponses, 1000);
    verifierJournal(serveur);
    QVERIFY(serveur.arreter());
}

QTEST_GUILESS_MAIN(TestReprise)
#include "tst_reprise.moc"
