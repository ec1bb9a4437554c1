// The deployment that packaging/haproxy/qovi-server.cfg describes, with real
// processes: three servers on one PostgreSQL database and HAProxy in front of
// them, started with the shipped configuration (its ports replaced). Clients
// only ever know HAProxy's address.

#include "clientprotocole.h"
#include "haproxyprive.h"
#include "serveurdetest.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <memory>
#include <vector>

namespace {

bool estAccueil(const QString &reponse)
{
    return reponse.startsWith(QLatin1String("m:")) || reponse.startsWith(QLatin1String("n:"));
}

// Connections that send nothing, parAdresse from each address given, each one
// opened again a moment after it is closed; how long each lived is kept.
class ConnexionsMuettes : public QObject
{
public:
    ConnexionsMuettes(quint16 port, const QList<QHostAddress> &adresses, int parAdresse)
        : port(port)
    {
        chrono.start();
        for (const QHostAddress &adresse : adresses) {
            for (int i = 0; i < parAdresse; ++i)
                ouvrir(adresse);
        }
    }

    // The sockets' handlers count in this object: they go while it is whole.
    ~ConnexionsMuettes() override
    {
        const auto sockets = findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly);
        for (QTcpSocket *socket : sockets) {
            socket->disconnect();
            delete socket;
        }
    }

    // A connection from its handshake to its end.
    struct Vie
    {
        QHostAddress adresse;
        qint64 debutMs;
        qint64 finMs; // -1 while open
    };
    // Every connection made so far, with its address and times.
    QList<Vie> vies() const
    {
        QList<Vie> toutes = finies;
        const auto sockets = findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly);
        for (const QTcpSocket *socket : sockets) {
            if (socket->property("debut").isValid() && !socket->property("finie").toBool())
                toutes.append({socket->localAddress(), socket->property("debut").toLongLong(), -1});
        }
        return toutes;
    }
    qint64 maintenant() const { return chrono.elapsed(); }

private:
    void ouvrir(const QHostAddress &adresse)
    {
        auto *socket = new QTcpSocket(this);
        if (!socket->bind(adresse)) {
            qWarning() << "cannot bind to" << adresse;
            delete socket;
            return;
        }
        const auto fin = [this, socket, adresse] {
            if (socket->state() != QAbstractSocket::UnconnectedState || socket->property("finie").toBool())
                return;
            socket->setProperty("finie", true);
            if (socket->property("debut").isValid())
                finies.append({adresse, socket->property("debut").toLongLong(), chrono.elapsed()});
            socket->disconnect();
            socket->deleteLater();
            // The attacker's next try: a pacing of the flood, not a wait in the test.
            QTimer::singleShot(250, this, [this, adresse] { ouvrir(adresse); });
        };
        // Timed from the handshake: a connection still knocking (its SYN
        // dropped by a full queue) is not one that HAProxy let in.
        connect(socket, &QTcpSocket::connected, this, [this, socket] { socket->setProperty("debut", chrono.elapsed()); });
        connect(socket, &QTcpSocket::disconnected, this, fin);
        connect(socket, &QTcpSocket::errorOccurred, this, fin);
        socket->connectToHost(QHostAddress::LocalHost, port);
    }

    quint16 port;
    QElapsedTimer chrono;
    QList<Vie> finies;
};

} // namespace

class TestRepartiteur : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void clientsRepartisEtVirementEntreServeurs();
    void serveurTueSesClientsServisAilleurs();
    void nouvelUtilisateurPendantCreations();
    void connexionsMuettesEcartees();

private:
    // enveloppe: a program that starts HAProxy, and its arguments (prlimit, for example).
    bool demarrerHaproxy(const QStringList &enveloppe = {});
    // Connects through HAProxy with the account's credentials; the rank of
    // the server that took it, or -1 (with the reason logged).
    int entrer(ClientProtocole &client, const QString &compte, const QString &cle, QString *accueil = nullptr);
    int serveurDe(const QString &compte);
    void montrerJournaux();

    static constexpr int nombreServeurs = 3;
    QString haproxy;
    std::unique_ptr<BaseDeTest> base;
    std::array<std::unique_ptr<ProcessusServeur>, nombreServeurs> serveurs;
    QTemporaryDir dossier;
    ProcessusLie processusHaproxy;
    quint16 portFrontal = 0;
};

void TestRepartiteur::initTestCase()
{
    haproxy = programmeHaproxy();
    if (haproxy.isEmpty())
        QSKIP("needs haproxy: the haproxy program is not installed (Debian package haproxy)");
    if (adressePostgresDeTest().isEmpty())
        QSKIP(sansPostgres);
    QVERIFY(dossier.isValid());
}

void TestRepartiteur::init()
{
    base = std::make_unique<BaseDeTest>(QStringLiteral("postgresql"));
    QVERIFY(base->estPrete());
    for (auto &serveur : serveurs) {
        serveur = std::make_unique<ProcessusServeur>(base->url);
        // HAProxy names each client in a PROXY protocol header (send-proxy-v2).
        // HAProxy asks each one's endpoint for operators whether it can serve.
        QVERIFY2(serveur->demarrer({QStringLiteral("--idle-timeout"), QStringLiteral("1"),
                                    QStringLiteral("--proxy-from"), QStringLiteral("127.0.0.1"),
                                    QStringLiteral("--monitor-port"), QStringLiteral("0")}),
                 qPrintable(serveur->journal()));
    }
    QVERIFY(demarrerHaproxy());
}

bool TestRepartiteur::demarrerHaproxy(const QStringList &enveloppe)
{
    QFile modele(qEnvironmentVariable("QOVI_SOURCE_DIR") + QStringLiteral("/packaging/haproxy/qovi-server.cfg"));
    if (!modele.open(QIODevice::ReadOnly)) {
        qWarning() << "cannot read" << modele.fileName();
        return false;
    }
    const QString texteModele = QString::fromUtf8(modele.readAll());
    QList<quint16> ports, portsSurveillance;
    for (const auto &serveur : serveurs) {
        ports << serveur->port;
        portsSurveillance << serveur->portSurveillance;
    }

    // Another program may take the port between its release and HAProxy's
    // start: then HAProxy ends at once and another port is tried.
    for (int essai = 0; essai < 5; ++essai) {
        portFrontal = portLibre();
        QFile configuration(dossier.filePath(QStringLiteral("haproxy.cfg")));
        if (portFrontal == 0 || !configuration.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        configuration.write(configurationAvec(texteModele, portFrontal, ports, portsSurveillance).toUtf8());
        configuration.close();

        processusHaproxy.setProcessChannelMode(QProcess::MergedChannels);
        const QStringList arguments{QStringLiteral("-db"), QStringLiteral("-f"), configuration.fileName()};
        if (enveloppe.isEmpty())
            processusHaproxy.start(haproxy, arguments);
        else
            processusHaproxy.start(enveloppe.first(), enveloppe.mid(1) + QStringList(haproxy) + arguments);
        // Seen in the kernel's table rather than by connecting: a connection
        // would go to a server and weigh on its count of connections.
        const bool pret = QTest::qWaitFor(
            [&] { return processusHaproxy.state() == QProcess::NotRunning || ecouteSur(portFrontal); }, 30000);
        if (pret && processusHaproxy.state() == QProcess::Running)
            return true;
        qWarning().noquote() << "HAProxy did not start:\n" << processusHaproxy.readAll();
        processusHaproxy.kill();
        processusHaproxy.waitForFinished();
    }
    return false;
}

void TestRepartiteur::cleanup()
{
    if (QTest::currentTestFailed())
        montrerJournaux();
    processusHaproxy.terminate();
    if (!processusHaproxy.waitForFinished(30000))
        processusHaproxy.kill();
    processusHaproxy.waitForFinished();
    bool arretes = true;
    for (auto &serveur : serveurs) {
        if (serveur)
            arretes = serveur->arreter() && arretes;
        serveur.reset();
    }
    base.reset();
    QVERIFY2(arretes, "the servers stop cleanly on SIGTERM");
}

void TestRepartiteur::montrerJournaux()
{
    for (int i = 0; i < nombreServeurs; ++i) {
        if (serveurs[size_t(i)])
            qWarning().noquote() << "server" << i << "log:\n" << serveurs[size_t(i)]->journal();
    }
    qWarning().noquote() << "HAProxy log:\n" << processusHaproxy.readAll();
}

int TestRepartiteur::entrer(ClientProtocole &client, const QString &compte, const QString &cle, QString *accueil)
{
    if (!client.connecter(portFrontal)) {
        qWarning() << "cannot connect to HAProxy:" << client.socket.errorString();
        return -1;
    }
    const QString reponse = client.demander(identifiants(compte, cle));
    if (accueil)
        *accueil = reponse;
    if (!estAccueil(reponse)) {
        qWarning() << "credentials of" << compte << "through HAProxy got" << reponse;
        return -1;
    }
    return serveurDe(compte);
}

// The server that logged the account's login: the only place a client behind
// HAProxy can be told apart (the servers see HAProxy's address).
int TestRepartiteur::serveurDe(const QString &compte)
{
    const QRegularExpression connexion(
        QStringLiteral("(created|authenticated) from \\S+ account %1").arg(compte));
    int trouve = -1;
    (void)QTest::qWaitFor(
        [&] {
            for (int i = 0; i < nombreServeurs; ++i) {
                auto &serveur = serveurs[size_t(i)];
                if (serveur && serveur->processus.state() == QProcess::Running
                    && serveur->journal().contains(connexion))
                    trouve = i;
            }
            return trouve >= 0;
        },
        15000);
    return trouve;
}

// Clients that stay connected are spread over the servers (least connections
// first), and a transfer between two of them is confirmed and received
// although they are on different servers.
void TestRepartiteur::clientsRepartisEtVirementEntreServeurs()
{
    const std::array<QString, nombreServeurs> comptes{compteA, compteB, compteC};
    const std::array<QString, nombreServeurs> cles{cleA, cleB, cleC};
    std::array<ClientProtocole, nombreServeurs> clients;
    QSet<int> occupes;
    for (size_t i = 0; i < comptes.size(); ++i) {
        const int rang = entrer(clients[i], comptes[i], cles[i]);
        QVERIFY(rang >= 0);
        occupes.insert(rang);
    }
    QCOMPARE(occupes.size(), nombreServeurs);

    QVERIFY(crediter(*base, compteA, 100));
    QCOMPARE(clients[0].demander(QStringLiteral("v:%1:%2:30:%3").arg(compteA, compteB, cleA)),
             QStringLiteral("s:%1:30").arg(compteB));
    QCOMPARE(clients[1].reponse(1), QStringLiteral("r:30:%1").arg(compteA));
    QCOMPARE(base->nombre(QStringLiteral("SELECT balance FROM accounts WHERE account = '%1'").arg(compteB)), 30);
}

// A server killed outright: its client's connection through HAProxy ends,
// and connecting again through HAProxy lands on a live server, which serves
// the account's real balance.
void TestRepartiteur::serveurTueSesClientsServisAilleurs()
{
    ClientProtocole premier;
    const int rang = entrer(premier, compteA, cleA);
    QVERIFY(rang >= 0);
    QVERIFY(crediter(*base, compteA, 75));

    serveurs[size_t(rang)]->tuer();
    QVERIFY2(premier.attendreFermeture(), "the client learns that its server is gone");

    // Several times: least connections would pick the dead server first, until
    // the health check has seen it; HAProxy then tries another.
    for (int essai = 0; essai < 4; ++essai) {
        ClientProtocole ensuite;
        QString accueil;
        const int nouveau = entrer(ensuite, compteA, cleA, &accueil);
        QVERIFY(nouveau >= 0);
        QVERIFY(nouveau != rang);
        QCOMPARE(accueil, QStringLiteral("m:75"));
    }
}

// One client makes accounts as fast as it can, each creation on a new
// connection and all at once: behind HAProxy the servers count its own
// address, for the whole service, so it gets the limit of one address (10 a
// minute by default) across the three servers. A new user elsewhere
// meanwhile creates its account at once.
void TestRepartiteur::nouvelUtilisateurPendantCreations()
{
    constexpr int tentatives = 16;
    std::vector<std::unique_ptr<ClientProtocole>> createur;
    for (int i = 0; i < tentatives; ++i) {
        createur.push_back(std::make_unique<ClientProtocole>());
        QVERIFY(createur.back()->connecterDepuis(QHostAddress(QStringLiteral("127.0.0.2")), portFrontal));
        createur.back()->envoyer(identifiants(QStringLiteral("C4EA7E%1").arg(i, 6, 10, QLatin1Char('0')), cleA));
    }
    ClientProtocole nouveau;
    QElapsedTimer chrono;
    chrono.start();
    QVERIFY(nouveau.connecterDepuis(QHostAddress(QStringLiteral("127.0.0.3")), portFrontal));
    QCOMPARE(nouveau.demander(identifiants(compteC, cleC)), QLatin1String("n:") + compteC);
    QVERIFY2(chrono.elapsed() < 5000, qPrintable(QString::number(chrono.elapsed())));

    QVERIFY(QTest::qWaitFor(
        [&] {
            return std::all_of(createur.cbegin(), createur.cend(),
                               [](const auto &client) { return !client->reponses.isEmpty(); });
        },
        60000));
    int creees = 0;
    for (const auto &client : createur) {
        const QString reponse = client->reponses.value(0);
        QVERIFY2(reponse.startsWith(QLatin1String("n:")) || reponse.contains(QLatin1String("Too many accounts")),
                 qPrintable(reponse));
        creees += reponse.startsWith(QLatin1String("n:")) ? 1 : 0;
    }
    QCOMPARE(creees, 10);
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM accounts")), 11);
    QCOMPARE(base->sommeSoldes(), base->sommeCredits());
}

// The idle-connection attack: three addresses each hold as many connections
// as they can that send nothing, opened again as soon as they are closed. The
// shipped configuration lets few of them in (a connection rate per source)
// and drops those it let in after 5 s of silence, so that HAProxy, here with
// room for about 240 connections (512 descriptors), keeps room for others: an
// honest client from another address logs in within a few seconds all along.
void TestRepartiteur::connexionsMuettesEcartees()
{
    const QString prlimit = QStandardPaths::findExecutable(QStringLiteral("prlimit"));
    if (prlimit.isEmpty())
        QSKIP("needs prlimit (util-linux) to give HAProxy few descriptors");
    processusHaproxy.terminate();
    QVERIFY(processusHaproxy.waitForFinished(30000));
    // The servers' own time-out for credentials at its default, so that only HAProxy's 5 s drop them.
    for (auto &serveur : serveurs) {
        QVERIFY(serveur->arreter());
        QVERIFY2(serveur->demarrer({QStringLiteral("--proxy-from"), QStringLiteral("127.0.0.1"),
                                    QStringLiteral("--monitor-port"), QStringLiteral("0")}),
                 qPrintable(serveur->journal()));
    }
    QVERIFY(demarrerHaproxy({prlimit, QStringLiteral("--nofile=512:512"), QStringLiteral("--")}));

    const QList<QHostAddress> adresses{QHostAddress(QStringLiteral("127.0.40.1")),
                                       QHostAddress(QStringLiteral("127.0.40.2")),
                                       QHostAddress(QStringLiteral("127.0.40.3"))};
    constexpr int parAdresse = 128;
    ConnexionsMuettes muettes(portFrontal, adresses, parAdresse);
    // Honest logins one after another, each from one of 20 addresses with an
    // account of its own: each address stays far under HAProxy's rate.
    for (int i = 0; muettes.maintenant() < 15000; ++i) {
        ClientProtocole honnete;
        QElapsedTimer chrono;
        chrono.start();
        QVERIFY(honnete.connecterDepuis(QHostAddress(QStringLiteral("127.0.41.%1").arg(1 + i % 20)), portFrontal));
        const QString compte = QStringLiteral("0B0B0B0B%1").arg(i % 20, 4, 10, QLatin1Char('0'));
        const QString reponse = honnete.demander(identifiants(compte, cleA), 5000);
        QVERIFY2(estAccueil(reponse), qPrintable(QStringLiteral("login %1 after %2 ms of the attack got \"%3\"")
                                                     .arg(i)
                                                     .arg(muettes.maintenant())
                                                     .arg(reponse)));
        QVERIFY2(chrono.elapsed() < 5000, qPrintable(QString::number(chrono.elapsed())));
    }

    // Let in (alive after 2 s): no more than HAProxy's 60 in 10 s per address,
    // twice over for the windows the flood spans; and each closed within the
    // 5 s allowed for a first byte (plus time to be seen), not at the 30 s client time-out.
    const qint64 fin = muettes.maintenant();
    QHash<QString, int> admises;
    int trop = 0;
    for (const auto &vie : muettes.vies()) {
        const qint64 duree = (vie.finMs < 0 ? fin : vie.finMs) - vie.debutMs;
        if (duree >= 2000)
            ++admises[vie.adresse.toString()];
        if (duree > 9000)
            ++trop;
    }
    for (const QHostAddress &adresse : adresses)
        QVERIFY2(admises.value(adresse.toString()) <= 120,
                 qPrintable(QStringLiteral("%1: %2").arg(adresse.toString()).arg(admises.value(adresse.toString()))));
    QCOMPARE(trop, 0);
}

QTEST_GUILESS_MAIN(TestRepartiteur)
#include "tst_repartiteur.moc"
