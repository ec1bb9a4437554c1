// The server's log as an administrator reads it: one line per event with the
// client's address in one place, levels, systemd's journal priorities, and
// the shipped fail2ban filter run on the lines that the real server writes.

#include "clientprotocole.h"
#include "serveurdetest.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

const QHostAddress adresseClient(QStringLiteral("127.0.0.2"));

bool connecterDepuisClient(ClientProtocole &client, quint16 port)
{
    if (client.connecterDepuis(adresseClient, port))
        return true;
    qWarning() << "cannot connect from" << adresseClient << client.socket.errorString();
    return false;
}

QString virement(const QString &source, const QString &destinataire, int montant, const QString &cle)
{
    return QStringLiteral("v:%1:%2:%3:%4").arg(source, destinataire).arg(montant).arg(cle);
}

} // namespace

class TestJournal : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void refusEtEvenements();
    void niveaux();
    void journald_data();
    void journald();
    void filtreFail2ban();

private:
    // Two accounts from adresseClient, A with a wrong key sent for it once.
    void preparerComptes(ClientProtocole &clientA, ClientProtocole &clientB);
    // Stops the server as an administrator would; its whole log.
    QString arreter();

    std::unique_ptr<BaseDeTest> base;
    std::unique_ptr<ProcessusServeur> serveur;
};

void TestJournal::init()
{
    base = std::make_unique<BaseDeTest>(QStringLiteral("sqlite"));
    serveur = std::make_unique<ProcessusServeur>(base->url);
}

void TestJournal::cleanup()
{
    fermerBancServeur(base, serveur);
}

QString TestJournal::arreter()
{
    const bool arrete = serveur->arreter();
    const QString journal = serveur->journal();
    serveur.reset();
    if (!arrete)
        qWarning().noquote() << "the server did not stop cleanly:\n" << journal;
    return arrete ? journal : QString();
}

void TestJournal::preparerComptes(ClientProtocole &clientA, ClientProtocole &clientB)
{
    QVERIFY(connecterDepuisClient(clientA, serveur->port));
    QCOMPARE(clientA.demander(identifiants(compteA, cleA)), QLatin1String("n:") + compteA);
    QVERIFY(connecterDepuisClient(clientB, serveur->port));
    QCOMPARE(clientB.demander(identifiants(compteB, cleB)), QLatin1String("n:") + compteB);
    ClientProtocole devin;
    QVERIFY(connecterDepuisClient(devin, serveur->port));
    QCOMPARE(devin.demander(identifiants(compteA, cleC), 60000), QStringLiteral("a:"));
}

// Every refusal names its reason, the client's address and the account in the
// same places; a credit and a transfer too; never a key.
void TestJournal::refusEtEvenements()
{
    QVERIFY2(serveur->demarrer({QStringLiteral("--idle-timeout"), QStringLiteral("1"),
                                QStringLiteral("--new-accounts-per-minute"), QStringLiteral("2"),
                                QStringLiteral("--max-connections-per-address"), QStringLiteral("8"),
                                QStringLiteral("--max-connections-per-account"), QStringLiteral("2")}),
             qPrintable(serveur->journal()));
    ClientProtocole clientA, clientB;
    preparerComptes(clientA, clientB);
    if (QTest::currentTestFailed())
        return;

    const QString inconnu = QStringLiteral("C0FFEE0000FF");
    QCOMPARE(clientA.demander(virement(compteA, inconnu, 5, cleA)).left(2), QStringLiteral("i:"));
    QCOMPARE(clientA.demander(virement(compteA, compteB, 5, cleA)).left(2), QStringLiteral("i:"));
    QCOMPARE(clientA.demander(virement(compteA, compteB, 5, cleB)).left(2), QStringLiteral("i:"));
    QCOMPARE(clientA.demander(QStringLiteral("v:%1:%2:abc:%3").arg(compteA, compteB, cleA)).left(2),
             QStringLiteral("i:"));
    clientB.socket.disconnectFromHost();
    QVERIFY(clientB.attendreFermeture());
    QTRY_COMPARE_WITH_TIMEOUT(clientA.demander(virement(compteA, compteB, 5, cleA)), QLatin1String("e:") + compteB,
                              15000);

    ClientProtocole malforme, requeteNue, muet, deTrop, troisiemeCompte, avant;
    QVERIFY(connecterDepuisClient(malforme, serveur->port));
    QCOMPARE(malforme.demander(QStringLiteral("c:xyz:abc")), QStringLiteral("a:"));
    QVERIFY(connecterDepuisClient(requeteNue, serveur->port));
    requeteNue.envoyerTexte(QStringLiteral("hello"));
    QVERIFY(requeteNue.attendreFermeture());
    QVERIFY(connecterDepuisClient(avant, serveur->port));
    QCOMPARE(avant.demander(virement(compteA, compteB, 5, cleA)).left(2), QStringLiteral("i:"));
    QVERIFY(connecterDepuisClient(muet, serveur->port));
    QVERIFY(muet.attendreFermeture());
    QVERIFY(connecterDepuisClient(troisiemeCompte, serveur->port));
    QCOMPARE(troisiemeCompte.demander(identifiants(compteC, cleC)).left(2), QStringLiteral("i:"));
    ClientProtocole secondeA, troisiemeA;
    QVERIFY(connecterDepuisClient(secondeA, serveur->port));
    QCOMPARE(secondeA.demander(identifiants(compteA, cleA)), QStringLiteral("m:0"));
    QVERIFY(connecterDepuisClient(troisiemeA, serveur->port));
    QCOMPARE(troisiemeA.demander(identifiants(compteA, cleA)).left(2), QStringLiteral("i:"));
    ClientProtocole foule[8];
    for (ClientProtocole &client : foule)
        QVERIFY(connecterDepuisClient(client, serveur->port));
    QTRY_VERIFY_WITH_TIMEOUT(serveur->journal().contains(QLatin1String("refused address-connections")), 15000);

    // Money: a credit from the command line, then a transfer.
    ClientProtocole retourB;
    QVERIFY(retourB.connecter(serveur->port));
    QCOMPARE(retourB.demander(identifiants(compteB, cleB)), QStringLiteral("m:0"));
    const ResultatCommande credit = lancerCommande(
        {QStringLiteral("--database"), base->url, QStringLiteral("credit"), compteA, QStringLiteral("10")});
    QCOMPARE(credit.code, 0);
    QVERIFY2(credit.erreurs.contains(QStringLiteral(" info credit from local account %1 amount 10 balance 10").arg(compteA)),
             qPrintable(credit.erreurs));
    QCOMPARE(clientA.demander(virement(compteA, compteB, 4, cleA)), QStringLiteral("s:%1:4").arg(compteB));

    const QString client = adresseClient.toString();
    const QStringList attendues{
        QStringLiteral("created from %1 account %2").arg(client, compteA),
        QStringLiteral("authenticated from %1 account %2").arg(client, compteA),
        QStringLiteral("refused wrong-key from %1 account %2 (1 recent for the account, 1 from the address)")
            .arg(client, compteA),
        QStringLiteral("refused unknown-recipient from %1 account %2 (to %3)").arg(client, compteA, inconnu),
        QStringLiteral("refused insufficient-balance from %1 account %2 (amount 5 to %3)").arg(client, compteA, compteB),
        QStringLiteral("refused foreign-transfer from %1 account %2").arg(client, compteA),
        QStringLiteral("refused malformed-transfer from %1 account %2").arg(client, compteA),
        QStringLiteral("refused offline-recipient from %1 account %2 (to %3)").arg(client, compteA, compteB),
        QStringLiteral("refused malformed-credentials from %1 account -").arg(client),
        QStringLiteral("refused malformed-request from %1 account -").arg(client),
        QStringLiteral("refused not-authenticated from %1 account -").arg(client),
        QStringLiteral("refused idle-timeout from %1 account -").arg(client),
        QStringLiteral("refused account-creations from %1 account %2").arg(client, compteC),
        QStringLiteral("refused account-connections from %1 account %2").arg(client, compteA),
        QStringLiteral("refused address-connections from %1 account -").arg(client),
        QStringLiteral("transfer from %1 account %2 amount 4 to %3").arg(client, compteA, compteB),
    };
    QVERIFY(serveur->journalContient(attendues.last()));
    const QString journal = serveur->journal();
    for (const QString &attendue : attendues)
        QVERIFY2(journal.contains(attendue), qPrintable(attendue + QLatin1String("\nnot in:\n") + journal));
    for (const QString &cle : {cleA, cleB, cleC})
        QVERIFY(!journal.contains(cle));
    // Outside systemd's journal, each line begins with the time and the level.
    const QRegularExpression forme(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3} (info|warning) \\S"));
    const QStringList lignes = journal.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &ligne : lignes)
        QVERIFY2(forme.match(ligne).hasMatch(), qPrintable(ligne));
}

// Below the level asked for, events are not logged.
void TestJournal::niveaux()
{
    QVERIFY2(serveur->demarrer({QStringLiteral("--log-level"), QStringLiteral("warning")}),
             qPrintable(serveur->journal()));
    ClientProtocole malforme;
    QVERIFY(malforme.connecter(serveur->port));
    QCOMPARE(malforme.demander(QStringLiteral("c:xyz:abc")), QStringLiteral("a:"));
    QVERIFY(serveur->arreter());
    QCOMPARE(serveur->journal(), QString());
    serveur.reset();

    const ResultatCommande faux = lancerCommande({QStringLiteral("--log-level"), QStringLiteral("loud")});
    QCOMPARE(faux.code, 64);
    QVERIFY2(faux.erreurs.contains(QLatin1String("--log-level needs error, warning, notice, info or debug")),
             qPrintable(faux.erreurs));
}

void TestJournal::journald_data()
{
    QTest::addColumn<bool>("fluxDuJournal");
    QTest::newRow("stderr is the journal's stream") << true;
    QTest::newRow("inherited from a parent whose stderr was the journal") << false;
}

// JOURNAL_STREAM names the journal's stream by device and inode: only when it
// is stderr do lines carry the journal's priorities instead of the time.
void TestJournal::journald()
{
    QFETCH(bool, fluxDuJournal);
    QTemporaryDir dossier;
    const QString fichier = dossier.filePath(QStringLiteral("stderr"));
    QFile(fichier).open(QIODevice::WriteOnly);
    struct stat etat = {};
    QCOMPARE(::stat(QFile::encodeName(fichier).constData(), &etat), 0);
    QProcessEnvironment environnement = QProcessEnvironment::systemEnvironment();
    environnement.insert(QStringLiteral("JOURNAL_STREAM"),
                         QStringLiteral("%1:%2").arg(qulonglong(etat.st_dev)).arg(qulonglong(etat.st_ino) + (fluxDuJournal ? 0 : 1)));
    serveur->processus.setProcessEnvironment(environnement);
    serveur->processus.setStandardErrorFile(fichier);
    QVERIFY(serveur->demarrer());
    ClientProtocole malforme;
    QVERIFY(malforme.connecter(serveur->port));
    QCOMPARE(malforme.demander(QStringLiteral("c:xyz:abc")), QStringLiteral("a:"));
    QVERIFY(serveur->arreter());
    serveur.reset();
    // A failure to start is an error for the journal.
    QProcess echec;
    echec.setProcessEnvironment(environnement);
    echec.setStandardErrorFile(fichier, QIODevice::Append);
    echec.start(qEnvironmentVariable("QOVI_SERVER"), {QStringLiteral("--bogus")});
    QVERIFY(echec.waitForFinished(60000));
    QCOMPARE(echec.exitCode(), 64);

    QFile journal(fichier);
    QVERIFY(journal.open(QIODevice::ReadOnly));
    const QString texte = QString::fromLocal8Bit(journal.readAll());
    const QString refus = QStringLiteral("#1 refused malformed-credentials from 127.0.0.1 account -\n");
    if (fluxDuJournal) {
        QVERIFY2(texte.contains(QLatin1String("<6>") + refus), qPrintable(texte));
        QVERIFY2(texte.contains(QLatin1String("<6>stopping\n")), qPrintable(texte));
        QVERIFY2(!texte.contains(QRegularExpression(QStringLiteral("\\d\\d:\\d\\d:\\d\\d"))), qPrintable(texte));
        QVERIFY2(texte.endsWith(QLatin1String("\n<3>qovi-server: Unknown option 'bogus' (see --help)\n")),
                 qPrintable(texte));
    } else {
        QVERIFY2(!texte.contains(QLatin1String("<6>")), qPrintable(texte));
        QVERIFY2(texte.contains(QLatin1String(" info ") + refus), qPrintable(texte));
        QVERIFY2(texte.endsWith(QLatin1String("\nqovi-server: Unknown option 'bogus' (see --help)\n")),
                 qPrintable(texte));
    }
}

// The shipped filter matches the wrong keys that the real server logs, with
// their address, and nothing else.
void TestJournal::filtreFail2ban()
{
    const QString regex = QStandardPaths::findExecutable(QStringLiteral("fail2ban-regex"));
    if (regex.isEmpty())
        QSKIP("needs fail2ban: fail2ban-regex is not installed");
    QVERIFY2(serveur->demarrer(), qPrintable(serveur->journal()));
    ClientProtocole clientA, clientB;
    preparerComptes(clientA, clientB);
    ClientProtocole deuxieme;
    QVERIFY(deuxieme.connecter(serveur->port));
    QCOMPARE(deuxieme.demander(identifiants(compteB, cleA), 60000), QStringLiteral("a:"));
    const QString texte = arreter();
    QVERIFY(!texte.isEmpty());

    QTemporaryDir dossier;
    const QString fichier = dossier.filePath(QStringLiteral("qovi-server.log"));
    QFile journal(fichier);
    QVERIFY(journal.open(QIODevice::WriteOnly));
    journal.write(texte.toLocal8Bit());
    journal.close();
    const QString filtre = qEnvironmentVariable("QOVI_SOURCE_DIR")
                           + QStringLiteral("/packaging/fail2ban/filter.d/qovi-server.conf");
    QProcess processus;
    processus.start(regex, {QStringLiteral("--print-all-matched"), fichier, filtre});
    QVERIFY(processus.waitForFinished(120000));
    const QString sortie = QString::fromLocal8Bit(processus.readAllStandardOutput());
    QCOMPARE(processus.exitCode(), 0);
    const int lignes = texte.count(QLatin1Char('\n'));
    QVERIFY2(sortie.contains(QStringLiteral("Lines: %1 lines, 0 ignored, 2 matched").arg(lignes)), qPrintable(sortie));
    QVERIFY2(sortie.contains(QLatin1String("127.0.0.2")) && sortie.contains(QLatin1String("127.0.0.1")),
             qPrintable(sortie));
}

QTEST_GUILESS_MAIN(TestJournal)
#include "tst_journal.moc"
