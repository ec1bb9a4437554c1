// The encrypted tunnel of scripts/tunnel.sh, end to end: protocol clients talk to
// the client side's stunnel, which reaches the server side's stunnel through a
// relay that records every byte crossing "the network", and the server side's
// stunnel hands the unchanged protocol to a real qovi-server.

#include "clientprotocole.h"
#include "serveurdetest.h"

#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

namespace {

constexpr int attente = 30000;

// One side of the tunnel: scripts/tunnel.sh (which runs stunnel in its place) on a
// free port of 127.0.0.1, found among the sockets that the process listens on.
class Tunnel
{
public:
    ~Tunnel() { processus.terminer(); }

    bool demarrer(const QStringList &arguments)
    {
        processus.setProcessChannelMode(QProcess::MergedChannels);
        processus.start(QStringLiteral("bash"),
                        QStringList{qEnvironmentVariable("QOVI_SOURCE_DIR") + QStringLiteral("/scripts/tunnel.sh")}
                            + arguments + QStringList{QStringLiteral("--accept"), QStringLiteral("127.0.0.1:0")});
        if (!processus.waitForStarted(attente))
            return false;
        (void)QTest::qWaitFor([&] { return processus.state() == QProcess::NotRunning || (port = portEcoute()) != 0; },
                              attente);
        return port != 0;
    }

    QString journal() { return QString::fromLocal8Bit(processus.readAll()); }

    quint16 port = 0;

private:
    quint16 portEcoute() const
    {
        QProcess ss;
        ss.start(QStringLiteral("ss"), {QStringLiteral("-Hltnp")});
        if (!ss.waitForFinished(attente))
            return 0;
        const QRegularExpression ligne(QStringLiteral("127\\.0\\.0\\.1:(\\d+) .*pid=%1,").arg(processus.processId()));
        const auto trouve = ligne.match(QString::fromLocal8Bit(ss.readAllStandardOutput()));
        return trouve.hasMatch() ? quint16(trouve.captured(1).toUInt()) : 0;
    }

    ProcessusLie processus;
};

// The network between the two sides: forwards each connection to the server
// side's stunnel and keeps a copy of every byte, in each direction.
class Relais : public QObject
{
public:
    explicit Relais(quint16 portCible)
        : portCible(portCible)
    {
        connect(&ecoute, &QTcpServer::newConnection, this, [this] { accepter(); });
        ecoute.listen(QHostAddress::LocalHost, 0);
    }

    quint16 port() const { return ecoute.serverPort(); }

    QByteArray versServeur;
    QByteArray versClient;

private:
    void accepter()
    {
        while (QTcpSocket *entrant = ecoute.nextPendingConnection()) {
            auto *sortant = new QTcpSocket(entrant);
            relier(entrant, sortant, versServeur);
            relier(sortant, entrant, versClient);
            // From an address of its own: the server must log it, not stunnel's.
            sortant->bind(QHostAddress(QStringLiteral("127.0.0.9")));
            sortant->connectToHost(QHostAddress::LocalHost, portCible);
        }
    }

    void relier(QTcpSocket *source, QTcpSocket *destination, QByteArray &copie)
    {
        // What arrives before the far end is reached waits in the socket.
        const auto transmettre = [source, destination, &copie] {
            if (destination->state() != QAbstractSocket::ConnectedState)
                return;
            const QByteArray octets = source->readAll();
            copie += octets;
            destination->write(octets);
        };
        connect(source, &QTcpSocket::readyRead, destination, transmettre);
        connect(destination, &QTcpSocket::connected, source, transmettre);
        connect(source, &QTcpSocket::disconnected, destination, [destination] { destination->disconnectFromHost(); });
    }

    QTcpServer ecoute;
    quint16 portCible;
};

// True when octets is a whole sequence of TLS records (content type, version 3.x,
// 16-bit length, then that many bytes), the first one a handshake.
bool enregistrementsTls(const QByteArray &octets, QString *pourquoi)
{
    if (!octets.startsWith(QByteArray("\x16\x03", 2))) {
        *pourquoi = QStringLiteral("does not begin with a TLS handshake record: ") + QString::fromLatin1(octets.left(16).toHex());
        return false;
    }
    int position = 0;
    while (position + 5 <= octets.size()) {
        const auto type = quint8(octets.at(position));
        const bool typeConnu = type >= 0x14 && type <= 0x17; // change cipher spec, alert, handshake, data
        if (!typeConnu || octets.at(position + 1) != 0x03) {
            *pourquoi = QStringLiteral("no TLS record at byte %1: ").arg(position)
                        + QString::fromLatin1(octets.mid(position, 16).toHex());
            return false;
        }
        position += 5 + (quint8(octets.at(position + 3)) << 8 | quint8(octets.at(position + 4)));
    }
    if (position != octets.size()) {
        *pourquoi = QStringLiteral("the bytes end inside a TLS record");
        return false;
    }
    return true;
}

// The readable texts of the protocol, as they would cross the wire without the tunnel:
// any frame starting anywhere in octets that unscrambles to one of the texts.
QStringList tramesEnClair(const QByteArray &octets, const QStringList &textes)
{
    QStringList trouves;
    for (int debut = 0; debut + 2 < octets.size(); ++debut) {
        const int taille = quint8(octets.at(debut)) << 8 | quint8(octets.at(debut + 1));
        if (taille < 4 || debut + 2 + taille > octets.size())
            continue;
        const QString texte = debrouiller(lireTexteTrame(octets.mid(debut + 2, taille)));
        for (const QString &attendu : textes)
            if (texte.contains(attendu))
                trouves << texte;
    }
    return trouves;
}

} // namespace

class TstTunnel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void virementParLeTunnel();
    void serveurInconnuRefuse();

private:
    bool demarrerServeur();

    QTemporaryDir dossier;
    std::unique_ptr<BaseDeTest> base;
    std::unique_ptr<ProcessusServeur> serveur;
    std::unique_ptr<Tunnel> coteServeur;
};

void TstTunnel::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("stunnel4")).isEmpty())
        QSKIP("needs stunnel: stunnel4 is not installed (bash scripts/install-deps.sh --test)");
    for (const QString &outil : {QStringLiteral("openssl"), QStringLiteral("ss")})
        QVERIFY2(!QStandardPaths::findExecutable(outil).isEmpty(),
                 qPrintable(outil + QStringLiteral(" is missing (bash scripts/install-deps.sh --test installs it)")));

    base = std::make_unique<BaseDeTest>(QStringLiteral("sqlite"));
    serveur = std::make_unique<ProcessusServeur>(base->url);
    // The shipped server.conf names each client in a PROXY protocol header.
    QVERIFY2(serveur->demarrer({QStringLiteral("--idle-timeout"), QStringLiteral("1"), QStringLiteral("--proxy-from"),
                                QStringLiteral("127.0.0.1")}),
             qPrintable(serveur->journal()));
    coteServeur = std::make_unique<Tunnel>();
    QVERIFY2(coteServeur->demarrer({QStringLiteral("server"), QStringLiteral("--connect"),
                                    QStringLiteral("127.0.0.1:%1").arg(serveur->port), QStringLiteral("--dir"),
                                    dossier.filePath(QStringLiteral("serveur"))}),
             qPrintable(coteServeur->journal()));
}

void TstTunnel::virementParLeTunnel()
{
    Relais reseau(coteServeur->port);
    QVERIFY(reseau.port());
    Tunnel coteClient;
    QVERIFY2(coteClient.demarrer({QStringLiteral("client"), QStringLiteral("--connect"),
                                  QStringLiteral("127.0.0.1:%1").arg(reseau.port()), QStringLiteral("--cert"),
                                  dossier.filePath(QStringLiteral("serveur/server.crt"))}),
             qPrintable(coteClient.journal()));

    ClientProtocole a;
    ClientProtocole b;
    QVERIFY(identifierClient(a, coteClient.port, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifierClient(b, coteClient.port, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY2(serveur->journalContient(QStringLiteral("created from 127.0.0.9 account ") + compteB),
             qPrintable(serveur->journal()));
    QVERIFY(serveur->journal().contains(QRegularExpression(QStringLiteral("connection from 127\\.0\\.0\\.9 port \\d+ via 127\\.0\\.0\\.1"))));
    QVERIFY(crediter(*base, compteA, 100));
    ClientProtocole aPlusTard;
    QVERIFY(identifierClient(aPlusTard, coteClient.port, compteA, cleA, QStringLiteral("m:100")));
    QCOMPARE(aPlusTard.demander(QStringLiteral("v:%1:%2:30:%3").arg(compteA, compteB, cleA)),
             QLatin1String("s:") + compteB + QLatin1String(":30"));
    QCOMPARE(b.reponse(1), QLatin1String("r:30:") + compteA);

    QString pourquoi;
    QVERIFY2(enregistrementsTls(reseau.versServeur, &pourquoi), qPrintable(QStringLiteral("to the server: ") + pourquoi));
    QVERIFY2(enregistrementsTls(reseau.versClient, &pourquoi), qPrintable(QStringLiteral("to the client: ") + pourquoi));
    const QByteArray tout = reseau.versServeur + reseau.versClient;
    QVERIFY(!tout.contains(":vers101"));
    QVERIFY(!tout.contains(QStringLiteral(":vers101").toUtf8().toHex()));
    const QStringList lisibles{QStringLiteral("vers101"), compteA, compteB, cleA};
    QCOMPARE(tramesEnClair(tout, lisibles), QStringList());
    for (const QString &texte : lisibles) {
        QVERIFY2(!tout.contains(texte.toLatin1()), qPrintable(texte));
        // QDataStream's UTF-16 of a text, as a frame carries it
        QByteArray utf16;
        for (const QChar caractere : texte)
            utf16.append(char(caractere.unicode() >> 8)).append(char(caractere.unicode() & 0xFF));
        QVERIFY2(!tout.contains(utf16), qPrintable(texte));
    }
}

// A client side that trusts another certificate never talks to this server.
void TstTunnel::serveurInconnuRefuse()
{
    QTemporaryDir autre;
    Tunnel imposteur;
    QVERIFY2(imposteur.demarrer({QStringLiteral("server"), QStringLiteral("--connect"),
                                 QStringLiteral("127.0.0.1:%1").arg(serveur->port), QStringLiteral("--dir"),
                                 autre.filePath(QStringLiteral("imposteur"))}),
             qPrintable(imposteur.journal()));
    Tunnel coteClient;
    QVERIFY2(coteClient.demarrer({QStringLiteral("client"), QStringLiteral("--connect"),
                                  QStringLiteral("127.0.0.1:%1").arg(imposteur.port), QStringLiteral("--cert"),
                                  dossier.filePath(QStringLiteral("serveur/server.crt"))}),
             qPrintable(coteClient.journal()));

    ClientProtocole client;
    QVERIFY(client.connecter(coteClient.port));
    client.envoyer(identifiants(compteC, cleC));
    QVERIFY(client.attendreFermeture());
    QCOMPARE(client.reponses, QStringList());
    QVERIFY2(coteClient.journal().contains(QStringLiteral("certificate verify failed"), Qt::CaseInsensitive),
             "the client side did not refuse the unknown server's certificate");
}

QTEST_GUILESS_MAIN(TstTunnel)
#include "tst_tunnel.moc"
