// Attacks on the real server as an attacker would make them: wrong keys for
// one account from hundreds of addresses, most hanging up at once, with and
// without a descriptor limit. Honest logins of other accounts stay quick
// meanwhile, the guesses stay bounded per account, and no money appears or
// disappears. Behind real HAProxy: tst_repartiteur.

#include "clientprotocole.h"
#include "serveurdetest.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <sys/resource.h>
#include <vector>

namespace {

const QString cleFausse = QStringLiteral("99999888887777766666");
constexpr int nombreAdresses = 600;

// Guessers' addresses: 127.10.0.1 onwards, on loopback.
QHostAddress adresseAttaquant(int i)
{
    return QHostAddress(QStringLiteral("127.10.%1.%2").arg(i / 250).arg(1 + i % 250));
}

// Honest clients from addresses the accounts never used.
QHostAddress adresseNouvelle(int i)
{
    return QHostAddress(QStringLiteral("127.30.0.%1").arg(1 + i % 250));
}

QString compteVictime(int i)
{
    return QStringLiteral("BADBAD%1").arg(i, 6, 10, QLatin1Char('0'));
}

QString compteHonnete(int i)
{
    return QStringLiteral("600D%1").arg(i, 8, 10, QLatin1Char('0'));
}

// A few new connections every intervalle, each from the next address and sending one
// wrong key for the next victim; one in four waits for its answer (at most
// maxEnAttente at once), the others hang up as soon as it is sent.
class Deluge : public QObject
{
public:
    Deluge(quint16 port, int victimes, int maxEnAttente)
        : port(port)
        , maxEnAttente(maxEnAttente)
    {
        for (int i = 0; i < victimes; ++i)
            trames << construireTrame(brouiller(identifiants(compteVictime(i), cleFausse) + QLatin1String(":vers101")));
        connect(&minuterie, &QTimer::timeout, this, [this] {
            for (int i = 0; i < parTour; ++i)
                lancer();
        });
    }

    // The sockets' handlers count in this object: they go while it is whole.
    ~Deluge() override
    {
        const auto sockets = findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly);
        for (QTcpSocket *socket : sockets) {
            socket->disconnect();
            delete socket;
        }
    }

    void commencer(int intervalleMs)
    {
        duree.start();
        minuterie.start(intervalleMs);
    }
    void arreter() { minuterie.stop(); }

    int envoyees = 0;
    int enAttente = 0;
    QElapsedTimer duree;

private:
    void lancer()
    {
        const bool attend = envoyees % 4 == 0;
        if (attend && enAttente >= maxEnAttente)
            return;
        auto *socket = new QTcpSocket(this);
        if (!socket->bind(adresseAttaquant(envoyees % nombreAdresses))) {
            socket->deleteLater();
            return;
        }
        const QByteArray trame = trames.at(envoyees % trames.size());
        ++envoyees;
        enAttente += attend ? 1 : 0;
        connect(socket, &QTcpSocket::connected, socket, [socket, attend, trame] {
            socket->write(trame);
            if (!attend)
                socket->disconnectFromHost();
        });
        connect(socket, &QTcpSocket::disconnected, socket, [socket, attend, this] {
            enAttente -= attend ? 1 : 0;
            socket->deleteLater();
        });
        connect(socket, &QTcpSocket::errorOccurred, socket, [socket, attend, this] {
            if (socket->state() != QAbstractSocket::UnconnectedState)
                return;
            enAttente -= attend ? 1 : 0;
            socket->deleteLater();
        });
        socket->connectToHost(QHostAddress::LocalHost, port);
    }

    static constexpr int parTour = 4;
    quint16 port;
    int maxEnAttente;
    QList<QByteArray> trames;
    QTimer minuterie;
};

qint64 mediane(std::vector<qint64> valeurs)
{
    std::sort(valeurs.begin(), valeurs.end());
    return valeurs.empty() ? -1 : valeurs[valeurs.size() / 2];
}

} // namespace

class TestAttaques : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void initTestCase_data() { lignesBases(); }
    void cleanup();

    void delugeDeDevinettes_data();
    void delugeDeDevinettes();
    void clesDeClientsPartisNonVerifiees();
    void refusOccupeJournalisesUneFoisParSeconde();

private:
    std::unique_ptr<BaseDeTest> base;
    std::unique_ptr<ProcessusServeur> serveur;
};

void TestAttaques::initTestCase()
{
    // This process holds hundreds of connections itself.
    rlimit limite{};
    if (::getrlimit(RLIMIT_NOFILE, &limite) == 0 && limite.rlim_cur < limite.rlim_max) {
        limite.rlim_cur = limite.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limite);
    }
}

void TestAttaques::cleanup()
{
    // Whatever the attack, no money was made or lost.
    if (base && base->estPrete() && !QTest::currentTestFailed())
        QCOMPARE(base->sommeSoldes(), base->sommeCredits());
    fermerBancServeur(base, serveur);
}

void TestAttaques::delugeDeDevinettes_data()
{
    QTest::addColumn<int>("victimes");
    QTest::addColumn<int>("descripteurs");
    QTest::newRow("one account") << 1 << 0;
    QTest::newRow("one account, 256 descriptors") << 1 << 256;
    QTest::newRow("eight accounts, 128 descriptors") << 8 << 128;
}

// Logins of other accounts, from where they were made and from new addresses,
// while a few seconds of guesses from 600 addresses hit one account: each
// within 5 s, half within 1 s. The victim's account is checked no faster than
// its rate allows.
void TestAttaques::delugeDeDevinettes()
{
    QFETCH(int, victimes);
    QFETCH(int, descripteurs);
    QStringList enveloppe;
    if (descripteurs > 0) {
        const QString prlimit = QStandardPaths::findExecutable(QStringLiteral("prlimit"));
        if (prlimit.isEmpty())
            QSKIP("prlimit (util-linux) is not installed");
        enveloppe = QStringList{prlimit, QStringLiteral("--nofile=%1:%1").arg(descripteurs), QStringLiteral("--")};
    }
    ouvrirBancServeur(base, serveur,
                      {QStringLiteral("--idle-timeout"), QStringLiteral("30"), QStringLiteral("--new-accounts-per-minute"),
                       QStringLiteral("100")},
                      enveloppe);
    if (QTest::currentTestFailed() || !serveur)
        return;

    for (int i = 0; i < victimes; ++i) {
        ClientProtocole proprietaire;
        QVERIFY(identifierClient(proprietaire, serveur->port, compteVictime(i), cleA, QLatin1String("n:") + compteVictime(i)));
    }
    constexpr int nombreHonnetes = 3;
    for (int i = 0; i < nombreHonnetes; ++i) {
        ClientProtocole client;
        QVERIFY(identifierClient(client, serveur->port, compteHonnete(i), cleB, QLatin1String("n:") + compteHonnete(i)));
    }
    QVERIFY(crediter(*base, compteHonnete(0), 500));

    Deluge deluge(serveur->port, victimes, 32);
    deluge.commencer(5);
    QVERIFY(QTest::qWaitFor([&] { return deluge.envoyees >= 100; }, 10000));
    std::vector<qint64> durees;
    for (int i = 0; deluge.duree.elapsed() < 3000 || i < 10; ++i) {
        const QString compte = compteHonnete(i % nombreHonnetes);
        ClientProtocole client;
        QElapsedTimer chrono;
        chrono.start();
        const bool ailleurs = i % 2 == 1;
        QVERIFY(ailleurs ? client.connecterDepuis(adresseNouvelle(i), serveur->port) : client.connecter(serveur->port));
        const QString reponse = client.demander(identifiants(compte, cleB), 10000);
        durees.push_back(chrono.elapsed());
        // A flood on many accounts fills the server's checks: a login from an
        // address the account never used is then told at once to try again;
        // from where the account logs in, it goes first and gets in.
        const bool occupe = reponse == QLatin1String("i:Too many keys are being checked, please try again in a few seconds");
        if (occupe && ailleurs && victimes > 1)
            continue;
        QVERIFY2(reponse == (i % nombreHonnetes == 0 ? QStringLiteral("m:500") : QStringLiteral("m:0")),
                 qPrintable(QStringLiteral("%1 from %2").arg(reponse, ailleurs ? QStringLiteral("a new address") : QStringLiteral("where it was made"))));
    }
    deluge.arreter();
    const qint64 secondes = (deluge.duree.elapsed() + 999) / 1000;
    const qint64 pire = *std::max_element(durees.cbegin(), durees.cend());
    const QString devinette = QStringLiteral("refused wrong-key from 127.10.");
    QVERIFY(serveur->journalContient(devinette));
    const int verifiees = serveur->journal().count(devinette);
    qInfo().noquote() << QStringLiteral("%1 guesses in %2 s (%3 checked, %4 busy lines); %5 honest logins, "
                                        "median %6 ms, worst %7 ms")
                             .arg(deluge.envoyees)
                             .arg(secondes)
                             .arg(verifiees)
                             .arg(serveur->journal().count(QStringLiteral("refused busy from 127.10.")))
                             .arg(durees.size())
                             .arg(mediane(durees))
                             .arg(pire);
    QVERIFY2(mediane(durees) < 1000, qPrintable(QString::number(mediane(durees))));
    QVERIFY2(pire < 5000, qPrintable(QString::number(pire)));

    // Guessing stayed bounded: 6 checks at once, then 6 a second, per account.
    for (int i = 0; i < victimes; ++i) {
        const int parCompte = serveur->journal().count(QRegularExpression(
            QStringLiteral("refused wrong-key from 127\\.10\\.\\S+ account %1").arg(compteVictime(i))));
        QVERIFY2(parCompte <= 6 + 6 * (secondes + 1), qPrintable(QString::number(parCompte)));
    }

    // The owners still get in, and the server still answers once the flood is over.
    for (int i = 0; i < victimes; ++i) {
        ClientProtocole apres;
        QVERIFY(identifierClient(apres, serveur->port, compteVictime(i), cleA, QStringLiteral("m:0")));
    }
}

// Wrong keys whose clients hang up as soon as they are sent, as many as the
// server checks at once: those not yet begun are never checked (nobody would
// hear their answer), and their places are free again for the next login.
void TestAttaques::clesDeClientsPartisNonVerifiees()
{
    ouvrirBancServeur(base, serveur,
                      {QStringLiteral("--idle-timeout"), QStringLiteral("30"), QStringLiteral("--new-accounts-per-minute"),
                       QStringLiteral("100")});
    if (QTest::currentTestFailed() || !serveur)
        return;
    // The server's bound: 8 keys per core at once, 4 per account, 2 per address and account.
    const int cles = 8 * QThread::idealThreadCount();
    const int comptes = cles / 4;
    for (int i = 0; i < comptes; ++i) {
        ClientProtocole proprietaire;
        QVERIFY(identifierClient(proprietaire, serveur->port, compteVictime(i), cleA, QLatin1String("n:") + compteVictime(i)));
    }
    ClientProtocole ailleurs;
    QVERIFY(ailleurs.connecterDepuis(QHostAddress(QStringLiteral("127.11.250.1")), serveur->port));
    QCOMPARE(ailleurs.demander(identifiants(compteHonnete(0), cleB)), QLatin1String("n:") + compteHonnete(0));

    std::vector<std::unique_ptr<ClientProtocole>> partis;
    for (int i = 0; i < cles; ++i) {
        partis.push_back(std::make_unique<ClientProtocole>());
        const QHostAddress adresse(QStringLiteral("127.11.%1.%2").arg(i / 4).arg(1 + i % 2));
        QVERIFY(partis.back()->connecterDepuis(adresse, serveur->port));
        partis.back()->envoyer(identifiants(compteVictime(i / 4), cleFausse));
        partis.back()->socket.disconnectFromHost();
    }
    // Each closed by the server once it has read the credentials and the end.
    for (const auto &client : partis)
        QVERIFY(client->attendreFermeture());
    // The next login, from an address its account never used, has their
    // priority and goes after them: once it is in, every one has had its turn.
    ClientProtocole honnete;
    QVERIFY(identifierEnInsistant(honnete, serveur->port, compteHonnete(0), cleB, QStringLiteral("m:0")));

    QVERIFY2(!serveur->journal().contains(QStringLiteral("refused busy from 127.11.")), qPrintable(serveur->journal()));
    // Only those already being checked when their client left (one per worker thread, give or take).
    const int verifiees = serveur->journal().count(QStringLiteral("refused wrong-key from 127.11."));
    QVERIFY2(verifiees <= cles / 2, qPrintable(QStringLiteral("%1 of %2 checked").arg(verifiees).arg(cles)));
}

// A flood of logins beyond what is checked logs one "busy" line per address
// and second; the refusals left out are counted in the address's next line,
// so that none goes untold. The lines keep the form that tools read.
void TestAttaques::refusOccupeJournalisesUneFoisParSeconde()
{
    ouvrirBancServeur(base, serveur, {QStringLiteral("--idle-timeout"), QStringLiteral("30")});
    if (QTest::currentTestFailed() || !serveur)
        return;
    ClientProtocole proprietaire;
    QVERIFY(identifierClient(proprietaire, serveur->port, compteA, cleA, QLatin1String("n:") + compteA));

    const QHostAddress adresse(QStringLiteral("127.12.0.1"));
    const QString debutLigne = QStringLiteral("refused busy from 127.12.0.1 account %1 (").arg(compteA);
    int occupees = 0;
    const auto essayer = [&](int nombre) {
        std::vector<std::unique_ptr<ClientProtocole>> clients;
        for (int i = 0; i < nombre; ++i) {
            clients.push_back(std::make_unique<ClientProtocole>());
            if (!clients.back()->connecterDepuis(adresse, serveur->port))
                return false;
            clients.back()->envoyer(identifiants(compteA, cleA));
        }
        for (const auto &client : clients) {
            const QString reponse = client->reponse();
            if (reponse.startsWith(QLatin1String("i:Too many keys are being checked")))
                ++occupees;
            else if (reponse != QLatin1String("m:0"))
                return false;
        }
        return true;
    };
    QVERIFY(essayer(24));
    QVERIFY2(occupees >= 10, qPrintable(QString::number(occupees)));
    const int lignesRafale = serveur->journal().count(debutLigne);
    QVERIFY2(lignesRafale >= 1 && lignesRafale * 2 < occupees,
             qPrintable(QStringLiteral("%1 lines for %2 refusals").arg(lignesRafale).arg(occupees)));

    // One login at a time until the next line, which tells those left out since the last one.
    QElapsedTimer chrono;
    chrono.start();
    while (serveur->journal().count(debutLigne) == lignesRafale) {
        QVERIFY2(chrono.elapsed() < 60000, "a second busy line within a minute");
        QVERIFY(essayer(1));
    }
    const QRegularExpression ligne(QStringLiteral(" #\\d+ refused busy from 127\\.12\\.0\\.1 account %1 \\(([^)]*)\\)$")
                                       .arg(compteA),
                                   QRegularExpression::MultilineOption);
    const QRegularExpression taisus(QStringLiteral("; (\\d+) more from the address not logged since its last such line$"));
    int lignes = 0;
    int racontees = 0;
    auto trouvees = ligne.globalMatch(serveur->journal());
    while (trouvees.hasNext()) {
        const QString detail = trouvees.next().captured(1);
        ++lignes;
        racontees += 1 + taisus.match(detail).captured(1).toInt();
    }
    QCOMPARE(lignes, lignesRafale + 1);
    QCOMPARE(racontees, occupees);
}

QTEST_GUILESS_MAIN(TestAttaques)
#include "tst_attaques.moc"
