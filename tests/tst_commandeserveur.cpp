// The server program's command line: what it refuses, and where it keeps its
// data when told nothing.

#include "serveurdetest.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

class TestCommandeServeur : public QObject
{
    Q_OBJECT

private slots:
    void refus_data();
    void refus();
    void portOccupe();
    void baseParDefaut();
};

void TestCommandeServeur::refus_data()
{
    QTest::addColumn<QStringList>("arguments");

    // A database path inside a regular file is unusable, even for root.
    static QTemporaryDir dossier;
    const QString fichier = dossier.filePath(QStringLiteral("plain-file"));
    QFile(fichier).open(QIODevice::WriteOnly);
    const QString base = dossier.filePath(QStringLiteral("server.sqlite"));

    // A loopback port that nothing listens on.
    QTcpServer libre;
    libre.listen(QHostAddress::LocalHost, 0);
    const quint16 portFerme = libre.serverPort();
    libre.close();

    QTest::newRow("unknown option") << QStringList{QStringLiteral("--bogus")};
    QTest::newRow("port not a number") << QStringList{QStringLiteral("--port"), QStringLiteral("abc")};
    QTest::newRow("port too big") << QStringList{QStringLiteral("--port"), QStringLiteral("70000")};
    QTest::newRow("listen on a name") << QStringList{QStringLiteral("--listen"), QStringLiteral("nowhere")};
    QTest::newRow("idle time-out 0") << QStringList{QStringLiteral("--idle-timeout"), QStringLiteral("0")};
    QTest::newRow("new accounts per minute 0")
        << QStringList{QStringLiteral("--new-accounts-per-minute"), QStringLiteral("0")};
    QTest::newRow("unknown command") << QStringList{QStringLiteral("--database"), base, QStringLiteral("frobnicate")};
    QTest::newRow("credit without amount")
        << QStringList{QStringLiteral("--database"), base, QStringLiteral("credit"), QStringLiteral("0123456789AB")};
    QTest::newRow("database under a file")
        << QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--database"),
                       fichier + QStringLiteral("/server.sqlite")};
    QTest::newRow("database scheme unknown")
        << QStringList{QStringLiteral("--database"), QStringLiteral("mysql://qovi@127.0.0.1/qovi"),
                       QStringLiteral("accounts")};
    QTest::newRow("PostgreSQL not there")
        << QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--database"),
                       QStringLiteral("postgresql://qovi@127.0.0.1:%1/qovi").arg(portFerme)};
}

void TestCommandeServeur::refus()
{
    QFETCH(QStringList, arguments);
    const ResultatCommande resultat = lancerCommande(arguments);
    QVERIFY2(resultat.code > 0, qPrintable(resultat.erreurs));
    QVERIFY(resultat.sortie.isEmpty());
    QVERIFY2(resultat.erreurs.startsWith(QLatin1String("qovi-server: ")), qPrintable(resultat.erreurs));
    QVERIFY2(resultat.erreurs.endsWith(QLatin1Char('\n')) && resultat.erreurs.count(QLatin1Char('\n')) == 1,
             qPrintable(resultat.erreurs));
}

void TestCommandeServeur::portOccupe()
{
    QTemporaryDir dossier;
    ProcessusServeur premier(dossier.filePath(QStringLiteral("un.sqlite")));
    QVERIFY(premier.demarrer());

    const ResultatCommande second = lancerCommande({QStringLiteral("--port"), QString::number(premier.port),
                                                    QStringLiteral("--database"),
                                                    dossier.filePath(QStringLiteral("deux.sqlite"))});
    QVERIFY(second.code > 0);
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

QTEST_GUILESS_MAIN(TestCommandeServeur)
#include "tst_commandeserveur.moc"
