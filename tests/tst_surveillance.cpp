// The endpoint for operators on the real server: its health follows the
// database, its metrics parse and move with the clients' requests, hostile
// HTTP clients cost the QoVi$ clients nothing; and HAProxy, with the shipped
// configuration, sends new clients away from a server whose database is gone.

#include "clientprotocole.h"
#include "haproxyprive.h"
#include "postgresprive.h"
#include "serveurdetest.h"

#include <QDir>
#include <QElapsedTimer>
#include <QHash>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

struct ReponseHttp
{
    int code = 0;  // 0: no answer, the connection closed or timed out
    QByteArray enTetes;
    QByteArray corps;
};

// Sends requete on a new connection and reads until the server closes it.
ReponseHttp demanderHttp(quint16 port, const QByteArray &requete, int delaiMs = 10000)
{
    ReponseHttp reponse;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(delaiMs))
        return reponse;
    socket.write(requete);
    QByteArray recu;
    QElapsedTimer chrono;
    chrono.start();
    while (socket.state() == QAbstractSocket::ConnectedState && !chrono.hasExpired(delaiMs)) {
        socket.waitForReadyRead(100);
        recu += socket.readAll();
    }
    recu += socket.readAll();
    const int fin = recu.indexOf("\r\n\r\n");
    const QList<QByteArray> statut = recu.left(recu.indexOf("\r\n")).split(' ');
    if (fin < 0 || statut.size() < 2 || !statut.first().startsWith("HTTP/1."))
        return reponse;
    reponse.code = statut.at(1).toInt();
    reponse.enTetes = recu.left(fin);
    reponse.corps = recu.mid(fin + 4);
    return reponse;
}

ReponseHttp obtenir(quint16 port, const QByteArray &chemin)
{
    return demanderHttp(port, "GET " + chemin + " HTTP/1.0\r\nHost: localhost\r\n\r\n");
}

// The samples of a scrape, by name with its labels, once the text proved to
// follow the exposition format: every sample after its family's TYPE, counters
// ending in _total, histograms' buckets growing up to +Inf, which equals _count.
QHash<QString, double> lireMesures(const QByteArray &texte, QString *erreur)
{
    QHash<QString, double> valeurs;
    QHash<QString, QString> types;
    const QRegularExpression echantillon(
        QStringLiteral("^([a-zA-Z_:][a-zA-Z0-9_:]*)(\\{[a-zA-Z_][a-zA-Z0-9_]*=\"(?:[^\"\\\\]|\\\\.)*\"\\})? (\\S+)$"));
    const QRegularExpression typeLigne(QStringLiteral("^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram)$"));
    if (!texte.endsWith('\n'))
        *erreur = QStringLiteral("no line feed at the end");
    for (const QByteArray &brute : texte.split('\n')) {
        const QString ligne = QString::fromUtf8(brute);
        if (ligne.isEmpty() || ligne.startsWith(QLatin1String("# HELP ")))
            continue;
        const auto type = typeLigne.match(ligne);
        if (type.hasMatch()) {
            types.insert(type.captured(1), type.captured(2));
            if (type.captured(2) == QLatin1String("counter") && !type.captured(1).endsWith(QLatin1String("_total")))
                *erreur = QStringLiteral("counter without _total: ") + ligne;
            continue;
        }
        const auto trouve = echantillon.match(ligne);
        bool nombre = false;
        const double valeur = trouve.captured(3).toDouble(&nombre);
        if (!trouve.hasMatch() || !nombre) {
            *erreur = QStringLiteral("not a sample: ") + ligne;
            continue;
        }
        QString famille = trouve.captured(1);
        famille.remove(QRegularExpression(QStringLiteral("_(bucket|sum|count)$")));
        if (!types.contains(trouve.captured(1)) && types.value(famille) != QLatin1String("histogram"))
            *erreur = QStringLiteral("no TYPE before ") + ligne;
        valeurs.insert(trouve.captured(1) + trouve.captured(2), valeur);
    }
    for (auto type = types.cbegin(); type != types.cend(); ++type) {
        if (type.value() != QLatin1String("histogram"))
            continue;
        double avant = 0;
        for (const char *le : {"0.005", "0.01", "0.025", "0.05", "0.1", "0.25", "0.5", "1", "2.5", "5", "10", "+Inf"}) {
            const QString seau = QStringLiteral("%1_bucket{le=\"%2\"}").arg(type.key(), QLatin1String(le));
            if (!valeurs.contains(seau) || valeurs.value(seau) < avant)
                *erreur = QStringLiteral("bucket missing or shrinking: ") + seau;
            avant = valeurs.value(seau);
        }
        if (avant != valeurs.value(type.key() + QStringLiteral("_count"), -1))
            *erreur = QStringLiteral("+Inf is not _count for ") + type.key();
    }
    return valeurs;
}

QHash<QString, double> scruter(quint16 port)
{
    const ReponseHttp reponse = obtenir(port, "/metrics");
    if (reponse.code != 200)
        qWarning() << "scrape answered" << reponse.code;
    if (!reponse.enTetes.contains("Content-Type: text/plain; version=0.0.4"))
        qWarning() << "scrape headers:" << reponse.enTetes;
    QString erreur;
    const auto valeurs = lireMesures(reponse.corps, &erreur);
    if (!erreur.isEmpty())
        qWarning().noquote() << "not the exposition format:" << erreur << "\n" << reponse.corps;
    return erreur.isEmpty() && reponse.code == 200 ? valeurs : QHash<QString, double>();
}

const QStringList optionsSurveillance{QStringLiteral("--idle-timeout"), QStringLiteral("1"),
                                      QStringLiteral("--monitor-port"), QStringLiteral("0")};

bool executerSur(const QString &url, const QStringList &instructions)
{
    bool fait = false;
    const QString nom = QStringLiteral("execution-surveillance");
    {
        QString erreur;
        QSqlDatabase base = connexionBase(url, nom, &erreur);
        fait = base.open();
        QSqlQuery requete(base);
        for (const QString &sql : instructions) {
            if (fait && !(fait = requete.exec(sql)))
                qWarning() << requete.lastError().text();
        }
        if (!base.isOpen())
            qWarning() << base.lastError().text() << erreur;
    }
    QSqlDatabase::removeDatabase(nom);
    return fait;
}

QString compteNumero(int rang)
{
    return QStringLiteral("D0%1").arg(rang, 10, 16, QLatin1Char('0')).toUpper();
}

} // namespace

class TestSurveillance : public QObject
{
    Q_OBJECT

private slots:
    void santeSqlite();
    void santePostgres();
    void mesures();
    void clientsHostiles();
    void baseVerrouillee();
    void haproxyEvitePanne();

private:
    // 200 "ok", then 503 within seconds once perdre() has run, then 200 again
    // within seconds once retrouver() has.
    void suivreSante(ProcessusServeur &serveur, const std::function<bool()> &perdre,
                     const std::function<bool()> &retrouver);
};

void TestSurveillance::suivreSante(ProcessusServeur &serveur, const std::function<bool()> &perdre,
                                   const std::function<bool()> &retrouver)
{
    QVERIFY(serveur.portSurveillance != 0);
    const ReponseHttp sain = obtenir(serveur.portSurveillance, "/health");
    QCOMPARE(sain.code, 200);
    QCOMPARE(sain.corps, QByteArray("ok\n"));
    QVERIFY(perdre());
    QElapsedTimer chrono;
    chrono.start();
    ReponseHttp malade;
    QVERIFY2(QTest::qWaitFor([&] { return (malade = obtenir(serveur.portSurveillance, "/health")).code == 503; },
                             15000),
             qPrintable(serveur.journal()));
    qInfo("503 %lld ms after the database was lost: %s", chrono.elapsed(), malade.corps.trimmed().constData());
    QVERIFY(malade.corps.startsWith("database"));
    QCOMPARE(malade.corps.count('\n'), 1);
    QVERIFY(retrouver());
    QVERIFY2(QTest::qWaitFor([&] { return obtenir(serveur.portSurveillance, "/health").code == 200; }, 30000),
             qPrintable(serveur.journal()));
    QCOMPARE(scruter(serveur.portSurveillance).value(QStringLiteral("qovi_database_up")), 1.0);
    QVERIFY(scruter(serveur.portSurveillance).value(QStringLiteral("qovi_database_reconnections_total")) >= 1);
}

// The SQLite file moved away and back, as tst_reprise does.
void TestSurveillance::santeSqlite()
{
    QTemporaryDir dossier;
    QVERIFY(dossier.isValid());
    const QString chemin = dossier.filePath(QStringLiteral("server.sqlite"));
    ProcessusServeur serveur(chemin);
    QVERIFY2(serveur.demarrer(optionsSurveillance), qPrintable(serveur.journal()));
    QVERIFY(QDir(dossier.path()).mkdir(QStringLiteral("ailleurs")));
    const QString ailleurs = dossier.filePath(QStringLiteral("ailleurs"));
    suivreSante(
        serveur, [&] { return deplacerBaseSqlite(dossier.path(), ailleurs); },
        [&] { return deplacerBaseSqlite(ailleurs, dossier.path()); });
    QVERIFY(serveur.arreter());
}

// PostgreSQL stopped and started again, no client connected meanwhile.
void TestSurveillance::santePostgres()
{
    PostgresPrive postgres;
    const QString manque = postgres.preparer();
    if (!manque.isEmpty())
        QSKIP(qPrintable(manque));
    ProcessusServeur serveur(postgres.url());
    QVERIFY2(serveur.demarrer(optionsSurveillance), qPrintable(serveur.journal()));
    suivreSante(
        serveur, [&] { return postgres.arreter(); }, [&] { return postgres.demarrer(); });
    QCOMPARE(scruter(serveur.portSurveillance).value(QStringLiteral("qovi_database_up")), 1.0);
    QVERIFY(serveur.arreter());
}

void TestSurveillance::mesures()
{
    BaseDeTest base(QStringLiteral("sqlite"));
    ProcessusServeur serveur(base.url);
    QVERIFY2(serveur.demarrer(optionsSurveillance), qPrintable(serveur.journal()));
    const quint16 port = serveur.portSurveillance;
    const auto avant = scruter(port);
    QVERIFY(!avant.isEmpty());
    QCOMPARE(avant.value(QStringLiteral("qovi_database_up"), -1), 1.0);
    QCOMPARE(avant.value(QStringLiteral("qovi_connections_open"), -1), 0.0);

    ClientProtocole a, b, intrus;
    QVERIFY(identifierClient(a, serveur.port, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifierClient(b, serveur.port, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(crediter(base, compteA, 100));
    QCOMPARE(a.demander(QStringLiteral("v:%1:%2:7:%3").arg(compteA, compteB, cleA)),
             QLatin1String("s:") + compteB + QLatin1String(":7"));
    QCOMPARE(a.demander(QStringLiteral("v:%1:%2:1000:%3").arg(compteA, compteB, cleA)),
             QStringLiteral("i:Your balance is insufficient for this transfer"));
    QCOMPARE(b.reponse(1), QLatin1String("r:7:") + compteA);
    QVERIFY(a.attendreCredit(QStringLiteral("r:100:QoVi$")));
    QVERIFY(intrus.connecter(serveur.port));
    QCOMPARE(intrus.demander(identifiants(compteA, cleB)), QStringLiteral("a:"));
    intrus.socket.disconnectFromHost();
    QVERIFY(QTest::qWaitFor([&] { return scruter(port).value(QStringLiteral("qovi_connections_open")) == 2; }, 10000));

    const auto apres = scruter(port);
    QVERIFY(!apres.isEmpty());
    const auto ecart = [&](const char *nom) { return apres.value(QLatin1String(nom)) - avant.value(QLatin1String(nom)); };
    // What each request must have moved, and by how much.
    const std::vector<std::pair<const char *, double>> attendus{
        {"qovi_logins_total{outcome=\"new\"}", 2},
        {"qovi_logins_total{outcome=\"wrong-key\"}", 1},
        {"qovi_refusals_total{reason=\"wrong-key\"}", 1},
        {"qovi_transfers_total{outcome=\"done\"}", 1},
        {"qovi_transfers_total{outcome=\"insufficient-balance\"}", 1},
        {"qovi_refusals_total{reason=\"insufficient-balance\"}", 1},
        {"qovi_login_duration_seconds_count", 3},
        {"qovi_transfer_duration_seconds_count", 2},
        {"qovi_notices_sent_total", 2},  // the credit's and the transfer's
    };
    for (const auto &[nom, valeur] : attendus)
        QVERIFY2(ecart(nom) == valeur, qPrintable(QStringLiteral("%1 moved by %2").arg(QLatin1String(nom)).arg(ecart(nom))));
    QVERIFY(ecart("qovi_transfer_duration_seconds_sum") > 0);
    QCOMPARE(apres.value(QStringLiteral("qovi_key_checks_pending")), 0.0);

    // HEAD: the headers alone; other methods and paths: refused, and said why.
    const ReponseHttp tete = demanderHttp(port, "HEAD /metrics HTTP/1.0\r\n\r\n");
    QCOMPARE(tete.code, 200);
    QVERIFY(tete.corps.isEmpty());
    QCOMPARE(demanderHttp(port, "POST /health HTTP/1.0\r\nContent-Length: 0\r\n\r\n").code, 405);
    QCOMPARE(obtenir(port, "/").code, 404);
    QCOMPARE(obtenir(port, "/health?full=1").code, 200);
    QVERIFY(serveur.arreter());
}

// Another process holds SQLite's write lock: the transfer waits for it on the
// bank's thread, while a request that needs no database and the endpoint are
// answered at once; the transfer is answered once the lock is let go.
void TestSurveillance::baseVerrouillee()
{
    BaseDeTest base(QStringLiteral("sqlite"));
    ProcessusServeur serveur(base.url);
    QVERIFY2(serveur.demarrer({QStringLiteral("--monitor-port"), QStringLiteral("0")}), qPrintable(serveur.journal()));
    const quint16 port = serveur.portSurveillance;
    ClientProtocole a, b;
    QVERIFY(identifierClient(a, serveur.port, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifierClient(b, serveur.port, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(crediter(base, compteA, 100));
    QVERIFY(a.attendreCredit(QStringLiteral("r:100:QoVi$")));

    const QString nom = QStringLiteral("verrou-surveillance");
    {
        QString erreur;
        QSqlDatabase connexion = connexionBase(base.url, nom, &erreur);
        QVERIFY2(connexion.open(), qPrintable(erreur));
        QSqlQuery verrou(connexion);
        QVERIFY(verrou.exec(QStringLiteral("BEGIN EXCLUSIVE")));
        a.envoyer(QStringLiteral("v:%1:%2:5:%3").arg(compteA, compteB, cleA));
        QVERIFY(QTest::qWaitFor(
            [&] { return scruter(port).value(QStringLiteral("qovi_database_calls_pending")) >= 1; }, 10000));

        QElapsedTimer attente;
        attente.start();
        ClientProtocole autre;
        QVERIFY(autre.connecter(serveur.port));
        autre.envoyerTexte(identifiants(compteC, cleC) + QLatin1String(":vers100"));
        QVERIFY(autre.reponse(0, 5000).startsWith(QLatin1String("i:This server speaks protocol version 101")));
        QVERIFY(obtenir(port, "/health").code != 0);
        QVERIFY2(attente.elapsed() < 1000, qPrintable(QString::number(attente.elapsed())));
        QVERIFY(a.reponses.size() == 1);  // still waiting for the lock
        QVERIFY(verrou.exec(QStringLiteral("ROLLBACK")));
    }
    QSqlDatabase::removeDatabase(nom);
    // Let go within SQLite's busy time-out: made, and told to both.
    QCOMPARE(a.reponse(1, 10000), QLatin1String("s:") + compteB + QLatin1String(":5"));
    QCOMPARE(b.reponse(1, 5000), QLatin1String("r:5:") + compteA);
    QCOMPARE(scruter(port).value(QStringLiteral("qovi_database_calls_pending"), -1), 0.0);
    QVERIFY(serveur.arreter());
}

// Whatever reaches the endpoint, the server stays up and goes on serving its clients.
void TestSurveillance::clientsHostiles()
{
    BaseDeTest base(QStringLiteral("sqlite"));
    ProcessusServeur serveur(base.url);
    QVERIFY2(serveur.demarrer(optionsSurveillance), qPrintable(serveur.journal()));
    const quint16 port = serveur.portSurveillance;
    ClientProtocole a, b;
    QVERIFY(identifierClient(a, serveur.port, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifierClient(b, serveur.port, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(crediter(base, compteA, 1000));

    const struct
    {
        const char *nom;
        QByteArray requete;
        int code;
    } cas[] = {
        {"garbage", QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 15), 400},
        {"no version", "GET /health\r\n\r\n", 400},
        {"huge header", "GET /health HTTP/1.0\r\nX-Long: " + QByteArray(100000, 'a') + "\r\n\r\n", 400},
        {"endless header", "GET /health HTTP/1.0\r\n" + QByteArray(8000, 'b'), 400},
        {"PROXY header", "PROXY TCP4 1.2.3.4 127.0.0.1 1 2\r\nGET /health HTTP/1.0\r\n\r\n", 400},
        {"bare line feeds", "GET /health HTTP/1.1\nHost: x\n\n", 200},
    };
    for (const auto &un : cas)
        QVERIFY2(demanderHttp(port, un.requete).code == un.code, un.nom);

    // A client that sends nothing, or trickles, is cut after a few seconds.
    QTcpSocket muet, goutte;
    muet.connectToHost(QHostAddress::LocalHost, port);
    goutte.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(muet.waitForConnected(5000) && goutte.waitForConnected(5000));
    QElapsedTimer chrono;
    chrono.start();
    QVERIFY(QTest::qWaitFor(
        [&] {
            if (goutte.state() == QAbstractSocket::ConnectedState)
                goutte.write("G");
            return muet.state() != QAbstractSocket::ConnectedState && goutte.state() != QAbstractSocket::ConnectedState;
        },
        20000));
    qInfo("silent and trickling clients cut after %lld ms", chrono.elapsed());

    // Many connections at once: those beyond the few served are closed, the
    // clients of the money service do not notice.
    std::vector<std::unique_ptr<QTcpSocket>> foule;
    chrono.restart();
    for (int i = 0; i < 200; ++i) {
        foule.push_back(std::make_unique<QTcpSocket>());
        foule.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    // Closed at once, while the few served still wait for their time-out (3 s).
    const auto combien = [&](QAbstractSocket::SocketState etat) {
        return std::count_if(foule.cbegin(), foule.cend(), [etat](const auto &s) { return s->state() == etat; });
    };
    QVERIFY(QTest::qWaitFor(
        [&] {
            return combien(QAbstractSocket::UnconnectedState) >= 150 && combien(QAbstractSocket::ConnectedState) > 0;
        },
        15000));
    QVERIFY2(chrono.elapsed() < 2500, "the connections beyond the few served were closed at once");
    QCOMPARE(a.demander(QStringLiteral("v:%1:%2:3:%3").arg(compteA, compteB, cleA), 5000),
             QLatin1String("s:") + compteB + QLatin1String(":3"));
    ClientProtocole nouveau;
    QVERIFY(identifierClient(nouveau, serveur.port, compteC, cleC, QLatin1String("n:") + compteC));
    foule.clear();
    QVERIFY(QTest::qWaitFor([&] { return obtenir(port, "/health").code == 200; }, 10000));
    QVERIFY(serveur.arreter());
}

// Two servers on one PostgreSQL behind HAProxy; the second connects as a role
// of its own, which is then refused and its sessions ended: its database is
// gone for it alone. New clients must all reach the first within ~10 s, and
// the second must get clients again once its role may log in again.
void TestSurveillance::haproxyEvitePanne()
{
    const QString haproxy = programmeHaproxy();
    if (haproxy.isEmpty())
        QSKIP("needs haproxy: the haproxy program is not installed (Debian package haproxy)");
    PostgresPrive postgres;
    const QString manque = postgres.preparer();
    if (!manque.isEmpty())
        QSKIP(qPrintable(manque));
    QUrl adresseSecond(postgres.url());
    adresseSecond.setUserName(QStringLiteral("qovi_second"));
    const QStringList options{QStringLiteral("--proxy-from"), QStringLiteral("127.0.0.1"),
                              QStringLiteral("--new-accounts-per-minute"), QStringLiteral("60000"),
                              QStringLiteral("--monitor-port"), QStringLiteral("0")};
    ProcessusServeur premier(postgres.url()), second(adresseSecond.toString());
    QVERIFY2(premier.demarrer(options), qPrintable(premier.journal()));
    // A member of the tables' owner: it may do all the first one does.
    QVERIFY(executerSur(postgres.url(), {QStringLiteral("CREATE ROLE qovi_second LOGIN PASSWORD '%1' IN ROLE postgres")
                                             .arg(adresseSecond.password())}));
    QVERIFY2(second.demarrer(options), qPrintable(second.journal()));

    QTemporaryDir dossier;
    QFile modele(qEnvironmentVariable("QOVI_SOURCE_DIR") + QStringLiteral("/packaging/haproxy/qovi-server.cfg"));
    QVERIFY(modele.open(QIODevice::ReadOnly));
    const quint16 portFrontal = portLibre();
    QFile configuration(dossier.filePath(QStringLiteral("haproxy.cfg")));
    QVERIFY(configuration.open(QIODevice::WriteOnly));
    configuration.write(configurationAvec(QString::fromUtf8(modele.readAll()), portFrontal,
                                          {premier.port, second.port},
                                          {premier.portSurveillance, second.portSurveillance})
                            .toUtf8());
    configuration.close();
    ProcessusLie processusHaproxy;
    processusHaproxy.setProcessChannelMode(QProcess::MergedChannels);
    processusHaproxy.start(haproxy, {QStringLiteral("-db"), QStringLiteral("-f"), configuration.fileName()});
    QVERIFY(QTest::qWaitFor([&] { return processusHaproxy.state() == QProcess::NotRunning || ecouteSur(portFrontal); },
                            30000));
    QVERIFY2(processusHaproxy.state() == QProcess::Running, processusHaproxy.readAll().constData());

    // Which server made the account, from their logs (written a moment after the answer).
    const auto chez = [&](const QString &compte) {
        const QString ligne = QStringLiteral("created from 127.0.0.1 account ") + compte;
        int rangServeur = 0;
        (void)QTest::qWaitFor(
            [&] {
                rangServeur = premier.journal().contains(ligne) ? 1 : second.journal().contains(ligne) ? 2 : 0;
                return rangServeur != 0;
            },
            10000);
        return rangServeur;
    };
    int rang = 0;
    std::vector<std::unique_ptr<ClientProtocole>> clients;
    // A new client through HAProxy; the server that took it (0: refused).
    const auto entrer = [&] {
        const QString compte = compteNumero(++rang);
        clients.push_back(std::make_unique<ClientProtocole>());
        if (!clients.back()->connecter(portFrontal))
            return 0;
        const QString reponse = clients.back()->demander(identifiants(compte, cleA), 10000);
        return reponse == QLatin1String("n:") + compte ? chez(compte) : 0;
    };
    // Both take clients once HAProxy's checks passed.
    QVERIFY(QTest::qWaitFor([&] { return entrer() == 2; }, 15000));
    QVERIFY(QTest::qWaitFor([&] { return entrer() == 1; }, 15000));

    QVERIFY(executerSur(postgres.url(), {QStringLiteral("ALTER ROLE qovi_second NOLOGIN"),
                                          QStringLiteral("SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                                                         " WHERE usename = 'qovi_second'")}));
    QElapsedTimer chrono;
    chrono.start();
    // New clients, one after the other for 15 s: the last one that did not
    // land on the first server came within ~10 s; after it, the second server
    // had ever fewer connections, so leastconn would have picked it were it
    // still in service.
    qint64 dernierAilleurs = 0;
    int surPremier = 0;
    while (!chrono.hasExpired(15000)) {
        // Four a second: the shipped frontend refuses more than 60 new connections in 10 s from one address.
        const qint64 prochain = chrono.elapsed() + 250;
        if (entrer() == 1) {
            ++surPremier;
        } else {
            dernierAilleurs = chrono.elapsed();
            surPremier = 0;
        }
        (void)QTest::qWaitFor([&] { return chrono.elapsed() >= prochain; });
    }
    qInfo("new clients all on the other server from %lld ms after the database was lost", dernierAilleurs);
    QVERIFY2(dernierAilleurs < 10000, qPrintable(second.journal()));
    QVERIFY2(surPremier >= 10, "the clients kept coming in since");
    QCOMPARE(obtenir(second.portSurveillance, "/health").code, 503);
    QVERIFY(processusHaproxy.readAll().contains("qovi2 is DOWN, reason: Layer7 wrong status, code: 503"));

    // Its database back, the second server gets new clients again (it has the fewest).
    QVERIFY(executerSur(postgres.url(), {QStringLiteral("ALTER ROLE qovi_second LOGIN")}));
    chrono.restart();
    QVERIFY2(QTest::qWaitFor([&] { return obtenir(second.portSurveillance, "/health").code == 200; }, 30000),
             qPrintable(second.journal()));
    qInfo("healthy again %lld ms after its role may log in", chrono.elapsed());
    QVERIFY2(QTest::qWaitFor(
                 [&] {
                     const qint64 prochain = chrono.elapsed() + 250;
                     const bool revenu = entrer() == 2;
                     (void)QTest::qWaitFor([&] { return chrono.elapsed() >= prochain; });
                     return revenu;
                 },
                 30000),
             qPrintable(second.journal()));
    qInfo("a new client on it again %lld ms after its role may log in", chrono.elapsed());

    processusHaproxy.terminate();
    processusHaproxy.waitForFinished(30000);
    clients.clear();
    QVERIFY(premier.arreter());
    QVERIFY(second.arreter());
}

QTEST_GUILESS_MAIN(TestSurveillance)
#include "tst_surveillance.moc"
