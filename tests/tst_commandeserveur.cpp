// The server program's command line: what it refuses, and where it keeps its
// data when told nothing.

#include "clientprotocole.h"
#include "serveurdetest.h"

#include <QFile>
#include <QMap>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString fichierSource(const QString &chemin)
{
    QFile fichier(qEnvironmentVariable("QOVI_SOURCE_DIR") + QLatin1Char('/') + chemin);
    return fichier.open(QIODevice::ReadOnly) ? QString::fromUtf8(fichier.readAll()) : QString();
}

} // namespace

class TestCommandeServeur : public QObject
{
    Q_OBJECT

private slots:
    void refus_data();
    void refus();
    void baseVerrouillee();
    void portOccupe();
    void baseParDefaut();
    void baseDansEtatSystemd();
    void motDePassePostgres();
    void sauvegardePendantVirements();
    void codesSortieDocumentes();
};

void TestCommandeServeur::refus_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");

    // A database path inside a regular file is unusable, even for root.
    static QTemporaryDir dossier;
    const QString fichier = dossier.filePath(QStringLiteral("plain-file"));
    QFile(fichier).open(QIODevice::WriteOnly);
    const QString base = dossier.filePath(QStringLiteral("server.sqlite"));
    QVERIFY(lancerCommande({QStringLiteral("--database"), base, QStringLiteral("accounts")}).code == 0);
    const QStringList surBase{QStringLiteral("--database"), base};
    const QString credit = QStringLiteral("credit");
    const QString compte = QStringLiteral("0123456789AB");

    // A loopback port that nothing listens on.
    QTcpServer libre;
    libre.listen(QHostAddress::LocalHost, 0);
    const quint16 portFerme = libre.serverPort();
    libre.close();

    const QString montant = QStringLiteral("the amount must be a whole number from 1 to 2147483647");
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--bogus")} << 64
                                    << QStringLiteral("Unknown option 'bogus'");
    QTest::newRow("port not a number") << QStringList{QStringLiteral("--port"), QStringLiteral("abc")} << 64
                                       << QStringLiteral("--port needs a number from 0 to 65535");
    QTest::newRow("port too big") << QStringList{QStringLiteral("--port"), QStringLiteral("70000")} << 64
                                  << QStringLiteral("--port needs a number from 0 to 65535");
    QTest::newRow("port negative") << QStringList{QStringLiteral("--port"), QStringLiteral("-1")} << 64
                                   << QStringLiteral("--port needs a number from 0 to 65535");
    QTest::newRow("listen on a name") << QStringList{QStringLiteral("--listen"), QStringLiteral("nowhere")} << 64
                                      << QStringLiteral("--listen needs an IP address");
    QTest::newRow("idle time-out 0") << QStringList{QStringLiteral("--idle-timeout"), QStringLiteral("0")} << 64
                                     << QStringLiteral("--idle-timeout needs");
    QTest::newRow("new accounts per minute 0")
        << QStringList{QStringLiteral("--new-accounts-per-minute"), QStringLiteral("0")} << 64
        << QStringLiteral("--new-accounts-per-minute needs");
    QTest::newRow("unknown command") << surBase + QStringList{QStringLiteral("frobnicate")} << 64
                                     << QStringLiteral("unknown command \"frobnicate\": the commands are");
    QTest::newRow("credit alone") << surBase + QStringList{credit} << 64
                                  << QStringLiteral("credit needs ACCOUNT and AMOUNT");
    QTest::newRow("credit without amount") << surBase + QStringList{credit, compte} << 64
                                           << QStringLiteral("credit needs ACCOUNT and AMOUNT");
    QTest::newRow("credit with one more") << surBase + QStringList{credit, compte, QStringLiteral("5"), QStringLiteral("6")}
                                          << 64 << QStringLiteral("credit needs ACCOUNT and AMOUNT");
    QTest::newRow("accounts with an argument") << surBase + QStringList{QStringLiteral("accounts"), compte} << 64
                                               << QStringLiteral("accounts takes no arguments");
    QTest::newRow("backup without file") << surBase + QStringList{QStringLiteral("backup")} << 64
                                         << QStringLiteral("backup needs FILE");
    QTest::newRow("credit negative") << surBase + QStringList{credit, compte, QStringLiteral("-5")} << 65 << montant;
    QTest::newRow("credit negative, options after")
        << QStringList{credit, compte, QStringLiteral("-5")} + surBase << 65 << montant;
    QTest::newRow("credit zero") << surBase + QStringList{credit, compte, QStringLiteral("0")} << 65 << montant;
    QTest::newRow("credit too much") << surBase + QStringList{credit, compte, QStringLiteral("2147483648")} << 65
                                     << montant;
    QTest::newRow("credit not a number") << surBase + QStringList{credit, compte, QStringLiteral("ten")} << 65
                                         << montant;
    QTest::newRow("credit with a sign") << surBase + QStringList{credit, compte, QStringLiteral("+5")} << 65 << montant;
    QTest::newRow("credit bad account") << surBase + QStringList{credit, QStringLiteral("xyz"), QStringLiteral("5")}
                                        << 65 << QStringLiteral("xyz is not an account number");
    QTest::newRow("credit unknown account") << surBase + QStringList{credit, compte, QStringLiteral("5")} << 65
                                            << QStringLiteral("no account 0123456789AB");
    QTest::newRow("database under a file")
        << QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--database"),
                       fichier + QStringLiteral("/server.sqlite")}
        << 69 << QStringLiteral("cannot create");
    QTest::newRow("database scheme unknown")
        << QStringList{QStringLiteral("--database"), QStringLiteral("mysql://qovi@127.0.0.1/qovi"),
                       QStringLiteral("accounts")}
        << 69 << QStringLiteral("unsupported database address scheme mysql");
    QTest::newRow("PostgreSQL not there")
        << QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--database"),
                       QStringLiteral("postgresql://qovi@127.0.0.1:%1/qovi").arg(portFerme)}
        << 69 << QStringLiteral("cannot use the database");
    QTest::newRow("backup over a file") << surBase + QStringList{QStringLiteral("backup"), fichier} << 73
                                        << QStringLiteral("cannot create %1: File exists").arg(fichier);
    QTest::newRow("backup of a missing database")
        << QStringList{QStringLiteral("--database"), dossier.filePath(QStringLiteral("missing.sqlite")),
                       QStringLiteral("backup"), dossier.filePath(QStringLiteral("copy-of-missing"))}
        << 69 << QStringLiteral("cannot open");
    QTest::newRow("backup of PostgreSQL")
        << QStringList{QStringLiteral("--database"), QStringLiteral("postgresql://qovi@127.0.0.1:%1/qovi").arg(portFerme),
                       QStringLiteral("backup"), dossier.filePath(QStringLiteral("copy"))}
        << 64 << QStringLiteral("for PostgreSQL use pg_dump");
}

// Each failure says what is wrong on one line and exits with its own code.
void TestCommandeServeur::refus()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, code);
    QFETCH(QString, message);
    const ResultatCommande resultat = lancerCommande(arguments);
    QCOMPARE(resultat.code, code);
    QVERIFY(resultat.sortie.isEmpty());
    QVERIFY2(resultat.erreurs.startsWith(QLatin1String("qovi-server: ")), qPrintable(resultat.erreurs));
    QVERIFY2(resultat.erreurs.contains(message), qPrintable(resultat.erreurs));
    QVERIFY2(resultat.erreurs.endsWith(QLatin1Char('\n')) && resultat.erreurs.count(QLatin1Char('\n')) == 1,
             qPrintable(resultat.erreurs));
}

// A locked database is worth trying again later: EX_TEMPFAIL.
void TestCommandeServeur::baseVerrouillee()
{
    BaseDeTest base(QStringLiteral("sqlite"));
    QCOMPARE(lancerCommande({QStringLiteral("--database"), base.url, QStringLiteral("accounts")}).code, 0);
    const QString nom = QStringLiteral("verrou");
    {
        QString erreur;
        QSqlDatabase connexion = connexionBase(base.url, nom, &erreur);
        QVERIFY(connexion.open());
        QSqlQuery verrou(connexion);
        QVERIFY(verrou.exec(QStringLiteral("BEGIN EXCLUSIVE")));
        const ResultatCommande resultat = lancerCommande(
            {QStringLiteral("--database"), base.url, QStringLiteral("credit"), compteA, QStringLiteral("5")});
        QVERIFY(verrou.exec(QStringLiteral("ROLLBACK")));
        QCOMPARE(resultat.code, 75);
        QVERIFY2(resultat.erreurs.contains(QLatin1String("locked")), qPrintable(resultat.erreurs));
    }
    QSqlDatabase::removeDatabase(nom);
}

void TestCommandeServeur::portOccupe()
{
    QTemporaryDir dossier;
    ProcessusServeur premier(dossier.filePath(QStringLiteral("un.sqlite")));
    QVERIFY(premier.demarrer());

    const ResultatCommande second = lancerCommande({QStringLiteral("--port"), QString::number(premier.port),
                                                    QStringLiteral("--database"),
                                                    dossier.filePath(QStringLiteral("deux.sqlite"))});
    QCOMPARE(second.code, 71);
    QVERIFY2(second.erreurs.startsWith(QLatin1String("qovi-server: ")) && second.erreurs.count(QLatin1Char('\n')) == 1,
             qPrintable(second.erreurs));
    QVERIFY(second.erreurs.contains(QString::number(premier.port)));
    QCOMPARE(premier.processus.state(), QProcess::Running);
}

void TestCommandeServeur::baseParDefaut()
{
    QTemporaryDir donnees;
    QProcess processus;
    QProcessEnvironment environnement = QProcessEnvironment::systemEnvironment();
    environnement.insert(QStringLiteral("XDG_DATA_HOME"), donnees.path());
    processus.setProcessEnvironment(environnement);
    processus.start(qEnvironmentVariable("QOVI_SERVER"), {QStringLiteral("accounts")});
    QVERIFY(processus.waitForFinished(60000));
    QCOMPARE(processus.exitCode(), 0);

    const QString base = donnees.filePath(QStringLiteral("qovi/server.sqlite"));
    QVERIFY(QFile::exists(base));
    // Keys' hashes and balances are nobody else's business.
    QCOMPARE(QFile::permissions(base) & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
             QFile::Permissions());
    QCOMPARE(QFile::permissions(donnees.filePath(QStringLiteral("qovi")))
                 & (QFile::ReadGroup | QFile::ReadOther | QFile::ExeGroup | QFile::ExeOther),
             QFile::Permissions());
}

// Under systemd, the service's state directory holds the default database.
void TestCommandeServeur::baseDansEtatSystemd()
{
    QTemporaryDir etat, donnees;
    QProcess processus;
    QProcessEnvironment environnement = QProcessEnvironment::systemEnvironment();
    environnement.insert(QStringLiteral("STATE_DIRECTORY"), etat.path());
    environnement.insert(QStringLiteral("XDG_DATA_HOME"), donnees.path());
    processus.setProcessEnvironment(environnement);
    processus.start(qEnvironmentVariable("QOVI_SERVER"), {QStringLiteral("accounts")});
    QVERIFY(processus.waitForFinished(60000));
    QCOMPARE(processus.exitCode(), 0);
    QVERIFY(QFile::exists(etat.filePath(QStringLiteral("server.sqlite"))));
    QVERIFY(!QFile::exists(donnees.filePath(QStringLiteral("qovi"))));
}

// The password may stay off the command line: libpq reads PGPASSWORD.
void TestCommandeServeur::motDePassePostgres()
{
    if (adressePostgresDeTest().isEmpty())
        QSKIP(sansPostgres);
    BaseDeTest base(QStringLiteral("postgresql"));
    QVERIFY(base.estPrete());
    QUrl sansMotDePasse(base.url);
    const QString motDePasse = sansMotDePasse.password();
    sansMotDePasse.setPassword(QString());
    QVERIFY(!sansMotDePasse.toString().contains(motDePasse));

    for (const QString &donne : {motDePasse, QStringLiteral("wrong")}) {
        QProcess processus;
        QProcessEnvironment environnement = QProcessEnvironment::systemEnvironment();
        environnement.insert(QStringLiteral("PGPASSWORD"), donne);
        processus.setProcessEnvironment(environnement);
        processus.start(qEnvironmentVariable("QOVI_SERVER"),
                        {QStringLiteral("--database"), sansMotDePasse.toString(), QStringLiteral("accounts")});
        QVERIFY(processus.waitForFinished(60000));
        const QString erreurs = QString::fromLocal8Bit(processus.readAllStandardError());
        QCOMPARE(processus.exitCode(), donne == motDePasse ? 0 : 69);
        QVERIFY2(donne != motDePasse || erreurs.isEmpty(), qPrintable(erreurs));
    }
}

// Copies taken while a server makes transfers are whole: each opens on its
// own, and its balances add up to its credits.
void TestCommandeServeur::sauvegardePendantVirements()
{
    BaseDeTest base(QStringLiteral("sqlite"));
    ProcessusServeur serveur(base.url);
    QVERIFY2(serveur.demarrer(), qPrintable(serveur.journal()));
    ClientProtocole clientA, clientB;
    QVERIFY(identifierClient(clientA, serveur.port, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifierClient(clientB, serveur.port, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(crediter(base, compteA, 100000));
    QVERIFY(crediter(base, compteB, 100000));

    QTemporaryDir dossier;
    constexpr int parTour = 300;
    for (int tour = 0; tour < 3; ++tour) {
        for (int i = 0; i < parTour; ++i) {
            clientA.envoyer(QStringLiteral("v:%1:%2:%3:%4").arg(compteA, compteB).arg(1 + i % 7).arg(cleA));
            clientB.envoyer(QStringLiteral("v:%1:%2:%3:%4").arg(compteB, compteA).arg(1 + i % 5).arg(cleB));
        }
        const QString copie = dossier.filePath(QStringLiteral("copy-%1.sqlite").arg(tour));
        const ResultatCommande resultat =
            lancerCommande({QStringLiteral("--database"), base.url, QStringLiteral("backup"), copie});
        QVERIFY2(resultat.code == 0, qPrintable(resultat.erreurs));
        QCOMPARE(QFile::permissions(copie) & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
                 QFile::Permissions());
        QVERIFY(!QFile::exists(copie + QStringLiteral("-wal")));
        // A copy is a database the server opens as it is.
        const ResultatCommande comptes = lancerCommande({QStringLiteral("--database"), copie, QStringLiteral("accounts")});
        QVERIFY2(comptes.code == 0 && comptes.sortie.contains(compteA), qPrintable(comptes.erreurs));
        BaseDeTest lecture(QStringLiteral("sqlite"));
        lecture.url = copie;
        QCOMPARE(lecture.lire(QStringLiteral("PRAGMA integrity_check")).value(0).toString(), QStringLiteral("ok"));
        QCOMPARE(lecture.sommeCredits(), 200000);
        QCOMPARE(lecture.sommeSoldes(), 200000);
        // Its own transfers answered, and those of B announced.
        QTRY_COMPARE_WITH_TIMEOUT(clientA.reponses.size(), 1 + (tour + 1) * 2 * parTour, 60000);
    }
    QVERIFY(serveur.arreter());
}

// --help, the README and the man page give the same exit statuses, with the same meanings.
void TestCommandeServeur::codesSortieDocumentes()
{
    const ResultatCommande aide = lancerCommande({QStringLiteral("--help")});
    QCOMPARE(aide.code, 0);
    const QString texteAide = aide.sortie.mid(aide.sortie.indexOf(QLatin1String("Exit status:")));
    QMap<int, QString> parAide;
    int code = -1;
    const QRegularExpression debutLigne(QStringLiteral("^  (\\d+) +(.*)$"));
    for (const QString &ligne : texteAide.split(QLatin1Char('\n')).mid(1)) {
        if (ligne.trimmed().isEmpty())
            break;
        const auto debut = debutLigne.match(ligne);
        if (debut.hasMatch())
            code = debut.captured(1).toInt();
        if (code >= 0)
            parAide[code] = (parAide.value(code) + QLatin1Char(' ') + (debut.hasMatch() ? debut.captured(2) : ligne))
                                .simplified();
    }
    QVERIFY2(parAide.size() > 5, qPrintable(texteAide));

    QMap<int, QString> parReadme, parManuel;
    const QString readme = fichierSource(QStringLiteral("README.md"));
    QString tableau = readme.mid(readme.indexOf(QLatin1String("### Exit status")));
    tableau.truncate(tableau.indexOf(QLatin1String("\n\n"), tableau.indexOf(QLatin1String("|---"))));
    const QRegularExpression ligneReadme(QStringLiteral("^\\| (\\d+)(?: \\(EX_\\w+\\))? \\| (.*) \\|$"),
                                         QRegularExpression::MultilineOption);
    for (auto ligne = ligneReadme.globalMatch(tableau); ligne.hasNext();) {
        const auto trouve = ligne.next();
        parReadme[trouve.captured(1).toInt()] = trouve.captured(2);
    }
    const QString manuel = fichierSource(QStringLiteral("packaging/man/qovi-server.1"));
    const QRegularExpression ligneManuel(QStringLiteral("^\\.B (\\d+)\\n(.*)$"), QRegularExpression::MultilineOption);
    for (auto ligne = ligneManuel.globalMatch(manuel.mid(manuel.indexOf(QLatin1String(".SH EXIT STATUS"))));
         ligne.hasNext();) {
        const auto trouve = ligne.next();
        parManuel[trouve.captured(1).toInt()] = trouve.captured(2);
    }

    QCOMPARE(parReadme.keys(), parAide.keys());
    QCOMPARE(parManuel.keys(), parAide.keys());
    const QRegularExpression nomCode(QStringLiteral(" \\(EX_\\w+\\)$"));
    for (auto texte = parAide.cbegin(); texte != parAide.cend(); ++texte) {
        QCOMPARE(parManuel.value(texte.key()), texte.value());
        // The README may say more, after what --help says.
        const QString sansNom = QString(texte.value()).remove(nomCode);
        QVERIFY2(parReadme.value(texte.key()).startsWith(sansNom),
                 qPrintable(QStringLiteral("%1: \"%2\" / \"%3\"").arg(texte.key()).arg(sansNom, parReadme.value(texte.key()))));
    }
}

QTEST_GUILESS_MAIN(TestCommandeServeur)
#include "tst_commandeserveur.moc"
