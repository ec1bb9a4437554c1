// A PostgreSQL address is taken apart as libpq takes it, with a list of hosts
// (a primary and its standbys) as well as one; what QtSql's driver is given
// names the same hosts, ports and options.

#include "server/banque/adressebase.h"
#include "server/banque/adressepostgres.h"
#include "server/banque/postgres.h"
#include "server/grappe/grappe.h"

#include <QSqlDatabase>
#include <QTest>

class TestAdressePostgres : public QObject
{
    Q_OBJECT

private slots:
    void lire_data();
    void lire();
    void connexionDuPilote_data();
    void connexionDuPilote();
    void origineAjoutee();
};

namespace {

QString ports(const QList<quint16> &liste)
{
    QStringList textes;
    for (const quint16 port : liste)
        textes.append(QString::number(port));
    return textes.join(QLatin1Char(','));
}

QString options(const QList<QPair<QString, QString>> &liste)
{
    QStringList textes;
    for (const auto &option : liste)
        textes.append(option.first + QLatin1Char('=') + option.second);
    return textes.join(QLatin1Char(';'));
}

} // namespace

void TestAdressePostgres::lire_data()
{
    QTest::addColumn<QString>("adresse");
    QTest::addColumn<bool>("valide");
    QTest::addColumn<QStringList>("hotes");
    QTest::addColumn<QString>("ports");
    QTest::addColumn<QString>("utilisateur");
    QTest::addColumn<QString>("motDePasse");
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("options");

    const QStringList aucun;
    QTest::newRow("one host") << "postgresql://qovi@db.example:6543/bank" << true << QStringList{"db.example"}
                              << "6543" << "qovi" << "" << "bank" << "";
    QTest::newRow("default port") << "postgres://qovi@db/bank" << true << QStringList{"db"} << "5432" << "qovi" << ""
                                  << "bank" << "";
    QTest::newRow("two hosts, two ports")
        << "postgresql://qovi@127.0.0.1:5433,127.0.0.1:5434/bank?target_session_attrs=read-write" << true
        << QStringList{"127.0.0.1", "127.0.0.1"} << "5433,5434" << "qovi" << "" << "bank"
        << "target_session_attrs=read-write";
    QTest::newRow("three hosts, one without port") << "postgresql://qovi@a:7000,b,c:7002/bank" << true
                                                   << QStringList{"a", "b", "c"} << "7000,5432,7002" << "qovi" << ""
                                                   << "bank" << "";
    QTest::newRow("IPv6 in brackets") << "postgresql://qovi@[::1]:5433,[fe80::1%25eth0],10.0.0.2:5434/bank" << true
                                      << QStringList{"::1", "fe80::1%eth0", "10.0.0.2"} << "5433,5432,5434" << "qovi"
                                      << "" << "bank" << "";
    QTest::newRow("password, encoded") << "postgresql://qovi:p%40ss%3Aw%2Fd%3F@h1:1,h2:2/bank" << true
                                       << QStringList{"h1", "h2"} << "1,2" << "qovi" << "p@ss:w/d?" << "bank" << "";
    QTest::newRow("options in order")
        << "postgresql://u:k@h/bank?sslmode=require&application_name=a%20b&target_session_attrs=any" << true
        << QStringList{"h"} << "5432" << "u" << "k" << "bank"
        << "sslmode=require;application_name=a b;target_session_attrs=any";
    QTest::newRow("local socket") << "postgresql:///bank" << true << QStringList{""} << "5432" << "" << "" << "bank"
                                  << "";

    QTest::newRow("no database") << "postgresql://u@h1,h2/" << false << aucun << "" << "" << "" << "" << "";
    QTest::newRow("no slash") << "postgresql://u@h1,h2" << false << aucun << "" << "" << "" << "" << "";
    QTest::newRow("query before database") << "postgresql://u@h?x=1/bank" << false << aucun << "" << "" << "" << ""
                                           << "";
    QTest::newRow("port not a number") << "postgresql://u@h1:54x2,h2/bank" << false << aucun << "" << "" << "" << ""
                                       << "";
    QTest::newRow("port out of range") << "postgresql://u@h1:5432,h2:70000/bank" << false << aucun << "" << "" << ""
                                       << "" << "";
    QTest::newRow("port zero") << "postgresql://u@h:0/bank" << false << aucun << "" << "" << "" << "" << "";
    QTest::newRow("empty port") << "postgresql://u@h:/bank" << false << aucun << "" << "" << "" << "" << "";
    QTest::newRow("IPv6 unclosed") << "postgresql://u@[::1:5432/bank" << false << aucun << "" << "" << "" << "" << "";
    QTest::newRow("IPv6 then junk") << "postgresql://u@[::1]x/bank" << false << aucun << "" << "" << "" << "" << "";
    QTest::newRow("option without value") << "postgresql://u@h/bank?sslmode" << false << aucun << "" << "" << ""
                                          << "" << "";
}

void TestAdressePostgres::lire()
{
    QFETCH(QString, adresse);
    QFETCH(bool, valide);
    AdressePostgres lue;
    QString erreur;
    QCOMPARE(lireAdressePostgres(adresse, &lue, &erreur), valide);
    QCOMPARE(erreur.isEmpty(), valide);
    if (!valide)
        return;
    QTEST(lue.hotes, "hotes");
    QTEST(ports(lue.ports), "ports");
    QTEST(lue.utilisateur, "utilisateur");
    QTEST(lue.motDePasse, "motDePasse");
    QTEST(lue.base, "base");
    QTEST(options(lue.options), "options");
}

// The driver takes one port for every host, or the list as a connect option
// (the last value of a keyword is the one libpq keeps), after the deadlines
// that every connection has.
void TestAdressePostgres::connexionDuPilote_data()
{
    QTest::addColumn<QString>("adresse");
    QTest::addColumn<QString>("hote");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("options");

    QTest::newRow("one host") << "postgresql://u:k@h:6000/bank?sslmode=disable" << "h" << 6000 << ";sslmode=disable";
    QTest::newRow("same port") << "postgresql://u@a:6000,b:6000/bank" << "a,b" << 6000 << "";
    QTest::newRow("ports differ") << "postgresql://u@a:6000,[::1]/bank?target_session_attrs=read-write" << "a,::1"
                                  << -1 << ";port=6000,5432;target_session_attrs=read-write";
}

void TestAdressePostgres::connexionDuPilote()
{
    QFETCH(QString, adresse);
    const QString nom = QStringLiteral("adresse-postgres");
    {
        QString erreur;
        const QSqlDatabase base = connexionBase(adresse, nom, &erreur);
        QVERIFY2(erreur.isEmpty(), qPrintable(erreur));
        if (!base.isValid())
            QSKIP("needs Qt's PostgreSQL driver (libqt5sql5-psql)");
        QTEST(base.hostName(), "hote");
        QTEST(base.port(), "port");
        QStringList delais;
        for (const auto &delai : optionsDelais())
            delais.append(delai.first + QStringLiteral("='") + delai.second + QLatin1Char('\''));
        QFETCH(QString, options);
        QCOMPARE(base.connectOptions(), delais.join(QLatin1Char(';')) + options);
        QCOMPARE(base.databaseName(), QStringLiteral("bank"));
    }
    QSqlDatabase::removeDatabase(nom);
}

// The server's name is added to the address without losing its hosts.
void TestAdressePostgres::origineAjoutee()
{
    const QString multiple = QStringLiteral("postgresql://u:k@a:6000,[::1]:6001/bank?application_name=x&sslmode=disable");
    const QString nommee = adresseAvecOrigine(multiple, QStringLiteral("qovi-server-1"));
    QCOMPARE(nommee, QStringLiteral("postgresql://u:k@a:6000,[::1]:6001/bank?sslmode=disable&application_name=qovi-server-1"));
    AdressePostgres lue;
    QString erreur;
    QVERIFY2(lireAdressePostgres(nommee, &lue, &erreur), qPrintable(erreur));
    QCOMPARE(lue.hotes, (QStringList{"a", "::1"}));
    QCOMPARE(adresseAvecOrigine(QStringLiteral("postgresql://u@h/bank"), QStringLiteral("s")),
             QStringLiteral("postgresql://u@h/bank?application_name=s"));
    QCOMPARE(adresseAvecOrigine(QStringLiteral("/var/lib/qovi/server.sqlite"), QStringLiteral("s")),
             QStringLiteral("/var/lib/qovi/server.sqlite"));
}

QTEST_GUILESS_MAIN(TestAdressePostgres)
#include "tst_adressepostgres.moc"
