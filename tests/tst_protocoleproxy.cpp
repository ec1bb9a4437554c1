// The PROXY protocol header that a trusted proxy puts before its client's
// bytes, read strictly: every valid form, every way of being malformed, every
// point where a valid header may be cut, what follows it; the headers that
// real HAProxy and stunnel send; and the administrator's list of trusted proxies.

#include "server/reseau/protocoleproxy.h"
#include "server/reseau/proxysdeconfiance.h"

#include "processuslie.h"

#include <QFile>
#include <QProcess>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr int attente = 30000;

// Reads from a buffer of exactly the given bytes: a read past its end is one
// that a sanitizer build reports (a QByteArray would hide it behind its NUL).
EnteteProxy lire(const QByteArray &octets)
{
    const std::vector<char> copie(octets.begin(), octets.end());
    return lireEnteteProxy(copie.data(), copie.size());
}

// A version 2 header: signature, version and command, family and transport,
// then the block whose length the header gives.
QByteArray v2(quint8 versionCommande, quint8 famille, const QByteArray &blocHex)
{
    const QByteArray bloc = QByteArray::fromHex(blocHex);
    QByteArray entete = QByteArray::fromHex("0d0a0d0a000d0a515549540a");
    entete += char(versionCommande);
    entete += char(famille);
    entete += char(bloc.size() >> 8);
    entete += char(bloc.size() & 0xFF);
    return entete + bloc;
}

// The 16 fixed bytes only, announcing a block of the given length.
QByteArray debutV2(quint8 versionCommande, quint8 famille, quint16 longueur)
{
    return v2(versionCommande, famille, {}).left(14) + char(longueur >> 8) + char(longueur & 0xFF);
}

const QByteArray blocIPv4 = "7f000001" "0a000002" "c350" "c6c5"; // 127.0.0.1:50000 to 10.0.0.2:50885
const QByteArray blocIPv6 = "20010db8000000000000000000000001" "00000000000000000000000000000001" "0001" "c6c5";
const QByteArray blocIPv6Mappee = "00000000000000000000ffff0a010203" "00000000000000000000ffff0a000001" "0fa0" "c6c5";

QByteArray hexRepete(const char *motif, int fois)
{
    return QByteArray(motif).repeated(fois);
}

// The valid headers: bytes, then the client they give (an empty address: none,
// keep the connection's own).
void tableEntetesValides()
{
    QTest::addColumn<QByteArray>("entete");
    QTest::addColumn<QString>("adresse");
    QTest::addColumn<int>("port");

    const QByteArray ffff = QByteArray("ffff:").repeated(7) + "ffff";
    QTest::newRow("v1 TCP4") << QByteArray("PROXY TCP4 192.168.0.1 192.168.0.11 56324 443\r\n") << "192.168.0.1" << 56324;
    QTest::newRow("v1 TCP4, bounds of each field")
        << QByteArray("PROXY TCP4 255.255.255.255 0.0.0.0 65535 0\r\n") << "255.255.255.255" << 65535;
    QTest::newRow("v1 TCP4, port 0") << QByteArray("PROXY TCP4 10.0.0.1 10.0.0.2 0 1\r\n") << "10.0.0.1" << 0;
    QTest::newRow("v1 TCP6, longest (104 bytes)")
        << "PROXY TCP6 " + ffff + " " + ffff + " 65535 65535\r\n" << QString::fromLatin1(ffff) << 65535;
    QTest::newRow("v1 TCP6, compressed, upper case")
        << QByteArray("PROXY TCP6 2001:DB8::1 ::1 1 2\r\n") << "2001:db8::1" << 1;
    QTest::newRow("v1 TCP6, IPv4-mapped: the IPv4 address")
        << QByteArray("PROXY TCP6 ::ffff:10.1.2.3 ::ffff:10.0.0.1 4000 50885\r\n") << "10.1.2.3" << 4000;
    QTest::newRow("v1 UNKNOWN, short") << QByteArray("PROXY UNKNOWN\r\n") << QString() << 0;
    QTest::newRow("v1 UNKNOWN, longest (107 bytes)")
        << "PROXY UNKNOWN " + ffff + " " + ffff + " 65535 65535\r\n" << QString() << 0;

    QTest::newRow("v2 TCP4") << v2(0x21, 0x11, blocIPv4) << "127.0.0.1" << 50000;
    QTest::newRow("v2 TCP6") << v2(0x21, 0x21, blocIPv6) << "2001:db8::1" << 1;
    QTest::newRow("v2 TCP6, IPv4-mapped: the IPv4 address") << v2(0x21, 0x21, blocIPv6Mappee) << "10.1.2.3" << 4000;
    QTest::newRow("v2 TCP4, TLVs skipped")
        << v2(0x21, 0x11, blocIPv4 + "04000300ff00" "050000" "e0000161") << "127.0.0.1" << 50000;
    QTest::newRow("v2 LOCAL") << v2(0x20, 0x00, {}) << QString() << 0;
    QTest::newRow("v2 LOCAL, its block ignored") << v2(0x20, 0x11, blocIPv4) << QString() << 0;
    QTest::newRow("v2 LOCAL, any family") << v2(0x20, 0xff, "0102") << QString() << 0;
    QTest::newRow("v2 PROXY, unspecified") << v2(0x21, 0x00, {}) << QString() << 0;
    QTest::newRow("v2 PROXY, unspecified with bytes") << v2(0x21, 0x00, "deadbeef") << QString() << 0;
    QTest::newRow("v2 UDP over IPv4 counts as unspecified") << v2(0x21, 0x12, blocIPv4) << QString() << 0;
    QTest::newRow("v2 UDP over IPv6 counts as unspecified") << v2(0x21, 0x22, blocIPv6) << QString() << 0;
    QTest::newRow("v2 UNIX stream counts as unspecified") << v2(0x21, 0x31, hexRepete("00", 216)) << QString() << 0;
    QTest::newRow("v2 UNIX datagram counts as unspecified") << v2(0x21, 0x32, hexRepete("00", 216)) << QString() << 0;
    // 16 + 12 + a NOOP TLV of 3 + 2017 bytes: the longest header taken.
    QTest::newRow("v2 longest (2048 bytes)") << v2(0x21, 0x11, blocIPv4 + "0407e1" + hexRepete("00", 2017))
                                             << "127.0.0.1" << 50000;
}

void verifierComplet(const EnteteProxy &lu, int taille, const QString &adresse, int port)
{
    QCOMPARE(lu.etat, EnteteProxy::Etat::Complet);
    QCOMPARE(int(lu.taille), taille);
    QCOMPARE(lu.adresseFournie, !adresse.isEmpty());
    QCOMPARE(lu.adresse, adresse);
    QCOMPARE(int(lu.port), port);
}

QString programme(const QString &nom)
{
    // Debian puts haproxy in /usr/sbin, which a plain user's PATH may lack.
    const QString trouve = QStandardPaths::findExecutable(nom);
    if (!trouve.isEmpty())
        return trouve;
    return QStandardPaths::findExecutable(nom, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin")});
}

// A port nobody listens on now: taken from the system, then let go.
quint16 portLibre(const QHostAddress &hote)
{
    QTcpServer essai;
    if (!essai.listen(hote, 0))
        return 0;
    return essai.serverPort();
}

// Whether something listens on hote:port, from the kernel's tables (a
// connection to see it would reach the proxy's backend and be counted there).
bool ecoute(const QHostAddress &hote, quint16 port)
{
    const bool v4 = hote.protocol() == QAbstractSocket::IPv4Protocol;
    // The kernel writes the address in network order, each of its 32-bit words
    // read in the machine's order.
    QByteArray octets(16, '\0');
    if (v4) {
        octets.resize(4);
        qToBigEndian(hote.toIPv4Address(), octets.data());
    } else {
        const Q_IPV6ADDR adresse = hote.toIPv6Address();
        std::copy(adresse.c, adresse.c + 16, octets.begin());
    }
    QByteArray local;
    for (int mot = 0; mot < octets.size(); mot += 4)
        local += QByteArray::number(qFromUnaligned<quint32>(octets.constData() + mot), 16).rightJustified(8, '0');
    local = local.toUpper() + ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');

    QFile table(v4 ? QStringLiteral("/proc/net/tcp") : QStringLiteral("/proc/net/tcp6"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &ligne : table.readAll().split('\n')) {
        const QList<QByteArray> champs = ligne.simplified().split(' ');
        if (champs.size() > 3 && champs.at(1) == local && champs.at(3) == "0A")
            return true;
    }
    return false;
}

// A real proxy (HAProxy or stunnel) in front of a QTcpServer of the test,
// started with a configuration in which {front} is its listening port and
// {back} the test's.
class ProxyReel
{
public:
    ~ProxyReel() { processus.terminer(); }

    // Another program may take the port between its release and the proxy's
    // start: then the proxy ends at once and another port is tried.
    bool demarrer(const QString &chemin, const QStringList &arguments, const QString &modele,
                  const QHostAddress &hote, quint16 portArrivee)
    {
        for (int essai = 0; essai < 5; ++essai) {
            port = portLibre(hote);
            QFile configuration(dossier.filePath(QStringLiteral("proxy.cfg")));
            if (port == 0 || !configuration.open(QIODevice::WriteOnly | QIODevice::Truncate))
                return false;
            configuration.write(QString(modele)
                                    .replace(QLatin1String("{front}"), QString::number(port))
                                    .replace(QLatin1String("{back}"), QString::number(portArrivee))
                                    .toUtf8());
            configuration.close();
            processus.setProcessChannelMode(QProcess::MergedChannels);
            processus.start(chemin, arguments + QStringList{configuration.fileName()});
            const bool pret = QTest::qWaitFor(
                [&] { return processus.state() == QProcess::NotRunning || ecoute(hote, port); }, attente);
            if (pret && processus.state() == QProcess::Running)
                return true;
            qWarning().noquote() << chemin << "did not start:\n" << processus.readAll();
            processus.kill();
            processus.waitForFinished(attente);
        }
        return false;
    }

    QString journal() { return QString::fromLocal8Bit(processus.readAll()); }

    QTemporaryDir dossier;
    quint16 port = 0;

private:
    ProcessusLie processus;
};

// What the test's server received on the one connection that the proxy made:
// read until the header is read whole and the client's bytes follow it.
struct Arrivee
{
    QByteArray recu;
    EnteteProxy entete;
};

bool attendreArrivee(QTcpServer &serveur, const QByteArray &suite, Arrivee *arrivee)
{
    if (!QTest::qWaitFor([&] { return serveur.hasPendingConnections(); }, attente))
        return false;
    std::unique_ptr<QTcpSocket> connexion(serveur.nextPendingConnection());
    return QTest::qWaitFor(
        [&] {
            arrivee->recu += connexion->readAll();
            arrivee->entete = lire(arrivee->recu);
            return arrivee->entete.etat == EnteteProxy::Etat::Invalide
                   || (arrivee->entete.etat == EnteteProxy::Etat::Complet
                       && arrivee->recu.size() >= int(arrivee->entete.taille) + suite.size());
        },
        attente);
}

// The client's bytes sent through the proxy reach the test's server behind a
// header that names the client's own address and port, untouched.
void verifierArrivee(QTcpServer &serveur, QAbstractSocket &client, ProxyReel &proxy, const QString &adresse)
{
    const QByteArray suite = QByteArray::fromHex("0016000000140050005200");
    client.write(suite);
    Arrivee arrivee;
    QVERIFY2(attendreArrivee(serveur, suite, &arrivee), qPrintable(proxy.journal()));
    QVERIFY2(arrivee.entete.etat == EnteteProxy::Etat::Complet,
             qPrintable(arrivee.entete.motif + QLatin1Char(' ') + QString::fromLatin1(arrivee.recu.toHex())));
    QCOMPARE(arrivee.entete.adresse, adresse);
    QCOMPARE(arrivee.entete.port, client.localPort());
    QCOMPARE(arrivee.recu.mid(int(arrivee.entete.taille)), suite);
}

} // namespace

class TestProtocoleProxy : public QObject
{
    Q_OBJECT

private slots:
    void entetesValides_data() { tableEntetesValides(); }
    void entetesValides();
    void coupeAChaquePoint_data() { tableEntetesValides(); }
    void coupeAChaquePoint();
    void octetsDuClientLaisses_data() { tableEntetesValides(); }
    void octetsDuClientLaisses();
    void entetesMalformes_data();
    void entetesMalformes();

    void haproxyReel_data();
    void haproxyReel();
    void stunnelReel();

    void listeDeConfiance_data();
    void listeDeConfiance();
    void listeRefusee_data();
    void listeRefusee();
    void appartenance_data();
    void appartenance();
};

void TestProtocoleProxy::entetesValides()
{
    QFETCH(QByteArray, entete);
    QFETCH(QString, adresse);
    QFETCH(int, port);
    verifierComplet(lire(entete), entete.size(), adresse, port);
}

// A proxy sends its header at once, but TCP may deliver it in pieces: every
// piece short of the whole is a valid beginning, never a verdict.
void TestProtocoleProxy::coupeAChaquePoint()
{
    QFETCH(QByteArray, entete);
    for (int taille = 0; taille < entete.size(); ++taille) {
        const EnteteProxy lu = lire(entete.left(taille));
        QVERIFY2(lu.etat == EnteteProxy::Etat::Incomplet,
                 qPrintable(QStringLiteral("cut after %1 bytes: %2").arg(taille).arg(lu.motif)));
    }
}

// The client's own bytes follow in the same read: they are not the header's.
void TestProtocoleProxy::octetsDuClientLaisses()
{
    QFETCH(QByteArray, entete);
    QFETCH(QString, adresse);
    QFETCH(int, port);
    const QByteArray trame = QByteArray::fromHex("0016000000140050005200");
    verifierComplet(lire(entete + trame), entete.size(), adresse, port);
    // Even a second header is the client's: only the first one counts.
    verifierComplet(lire(entete + entete), entete.size(), adresse, port);
    verifierComplet(lire(entete + "\r\n"), entete.size(), adresse, port);
}

void TestProtocoleProxy::entetesMalformes_data()
{
    QTest::addColumn<QByteArray>("octets");
    QTest::addColumn<QString>("motif");

    const QString pasProxy = QStringLiteral("not a PROXY header");
    QTest::newRow("a client's frame") << QByteArray::fromHex("0016000000140050005200") << pasProxy;
    QTest::newRow("HTTP") << QByteArray("GET / HTTP/1.0\r\n\r\n") << pasProxy;
    QTest::newRow("one wrong byte") << QByteArray("X") << pasProxy;
    QTest::newRow("lower case") << QByteArray("proxy TCP4 1.2.3.4 5.6.7.8 1 2\r\n") << pasProxy;
    QTest::newRow("no space after PROXY") << QByteArray("PROXYTCP4 1.2.3.4 5.6.7.8 1 2\r\n") << pasProxy;
    QTest::newRow("v2 signature, last byte wrong") << QByteArray::fromHex("0d0a0d0a000d0a515549540d") << pasProxy;
    QTest::newRow("v2 signature cut by other bytes") << QByteArray::fromHex("0d0a0d0a0a") << pasProxy;

    QTest::newRow("v1 LF without CR") << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.8 1 2\n") << "line ends without CR";
    QTest::newRow("v1 CR without LF") << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.8 1 2\rX\n") << "CR without LF";
    QTest::newRow("v1 CR CR LF") << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.8 1 2\r\r\n") << "CR without LF";
    QTest::newRow("v1 107 bytes, no CRLF") << "PROXY UNKNOWN " + QByteArray(93, 'f') << "no CRLF within 107 bytes";
    QTest::newRow("v1 CRLF ending at byte 108")
        << "PROXY UNKNOWN " + QByteArray(92, 'f') + "\r\n" << "no CRLF within 107 bytes";
    QTest::newRow("v1 106 bytes, no CR yet: too late already")
        << "PROXY UNKNOWN " + QByteArray(92, 'f') << "no CRLF within 107 bytes";
    QTest::newRow("v1 NUL in the line") << QByteArray("PROXY TCP4 1.2.3.4\0 5.6.7.8 1 2\r\n", 33) << "not a line of text";
    QTest::newRow("v1 tab") << QByteArray("PROXY TCP4\t1.2.3.4 5.6.7.8 1 2\r\n") << "not a line of text";
    QTest::newRow("v1 byte above ASCII") << QByteArray("PROXY UNKNOWN \xe9\r\n") << "not a line of text";

    QTest::newRow("v1 empty line") << QByteArray("PROXY \r\n") << "unknown protocol";
    QTest::newRow("v1 TCP5") << QByteArray("PROXY TCP5 1.2.3.4 5.6.7.8 1 2\r\n") << "unknown protocol";
    QTest::newRow("v1 UDP4") << QByteArray("PROXY UDP4 1.2.3.4 5.6.7.8 1 2\r\n") << "unknown protocol";
    QTest::newRow("v1 tcp4") << QByteArray("PROXY tcp4 1.2.3.4 5.6.7.8 1 2\r\n") << "unknown protocol";
    QTest::newRow("v1 UNKNOWN glued to more") << QByteArray("PROXY UNKNOWNX\r\n") << "unknown protocol";
    QTest::newRow("v1 two spaces after PROXY") << QByteArray("PROXY  TCP4 1.2.3.4 5.6.7.8 1 2\r\n") << "unknown protocol";
    QTest::newRow("v1 port missing") << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.8 1\r\n") << "missing fields";
    QTest::newRow("v1 protocol alone") << QByteArray("PROXY TCP4\r\n") << "missing fields";
    QTest::newRow("v1 one field more") << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.8 1 2 3\r\n") << "too many fields";
    QTest::newRow("v1 space before CRLF") << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.8 1 2 \r\n") << "too many fields";

    const QString adresse = QStringLiteral("bad address");
    QTest::newRow("v1 two spaces between fields") << QByteArray("PROXY TCP4 1.2.3.4  5.6.7.8 1\r\n") << adresse;
    QTest::newRow("v1 octet above 255") << QByteArray("PROXY TCP4 256.1.1.1 5.6.7.8 1 2\r\n") << adresse;
    QTest::newRow("v1 three octets") << QByteArray("PROXY TCP4 1.2.3 5.6.7.8 1 2\r\n") << adresse;
    QTest::newRow("v1 five octets") << QByteArray("PROXY TCP4 1.2.3.4.5 5.6.7.8 1 2\r\n") << adresse;
    QTest::newRow("v1 leading zero in an octet") << QByteArray("PROXY TCP4 01.2.3.4 5.6.7.8 1 2\r\n") << adresse;
    QTest::newRow("v1 a name") << QByteArray("PROXY TCP4 localhost 5.6.7.8 1 2\r\n") << adresse;
    QTest::newRow("v1 bad destination") << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.256 1 2\r\n") << adresse;
    QTest::newRow("v1 TCP4 with IPv6") << QByteArray("PROXY TCP4 ::1 ::1 1 2\r\n") << adresse;
    QTest::newRow("v1 TCP6 with IPv4") << QByteArray("PROXY TCP6 1.2.3.4 5.6.7.8 1 2\r\n") << adresse;
    QTest::newRow("v1 TCP6, destination IPv4") << QByteArray("PROXY TCP6 ::1 5.6.7.8 1 2\r\n") << adresse;
    QTest::newRow("v1 TCP6, not hex") << QByteArray("PROXY TCP6 ::g ::1 1 2\r\n") << adresse;
    QTest::newRow("v1 TCP6, nine groups") << QByteArray("PROXY TCP6 1:2:3:4:5:6:7:8:9 ::1 1 2\r\n") << adresse;
    QTest::newRow("v1 TCP6, two double colons") << QByteArray("PROXY TCP6 1::2::3 ::1 1 2\r\n") << adresse;
    QTest::newRow("v1 TCP6, with a scope") << QByteArray("PROXY TCP6 fe80::1%eth0 ::1 1 2\r\n") << adresse;
    QTest::newRow("v1 TCP6, in brackets") << QByteArray("PROXY TCP6 [::1] ::1 1 2\r\n") << adresse;

    const QString port = QStringLiteral("bad port");
    QTest::newRow("v1 port 65536") << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.8 65536 2\r\n") << port;
    QTest::newRow("v1 port far too long") << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.8 99999999999 2\r\n") << port;
    QTest::newRow("v1 port with leading zero") << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.8 080 2\r\n") << port;
    QTest::newRow("v1 port 00") << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.8 00 2\r\n") << port;
    QTest::newRow("v1 negative port") << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.8 -1 2\r\n") << port;
    QTest::newRow("v1 port with a sign") << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.8 +80 2\r\n") << port;
    QTest::newRow("v1 port in hex") << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.8 0x50 2\r\n") << port;
    QTest::newRow("v1 port with a letter") << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.8 8a 2\r\n") << port;
    QTest::newRow("v1 empty port") << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.8  2\r\n") << port;
    QTest::newRow("v1 bad destination port") << QByteArray("PROXY TCP4 1.2.3.4 5.6.7.8 1 65536\r\n") << port;

    QTest::newRow("v2 version 1") << v2(0x11, 0x11, blocIPv4) << "unknown version";
    QTest::newRow("v2 version 3") << v2(0x31, 0x11, blocIPv4) << "unknown version";
    QTest::newRow("v2 version 0, LOCAL") << v2(0x00, 0x00, {}) << "unknown version";
    QTest::newRow("v2 command 2") << v2(0x22, 0x11, blocIPv4) << "unknown command";
    QTest::newRow("v2 command 15") << v2(0x2f, 0x11, blocIPv4) << "unknown command";
    QTest::newRow("v2 family 4") << v2(0x21, 0x41, blocIPv4) << "unknown family or transport";
    QTest::newRow("v2 transport 3") << v2(0x21, 0x13, blocIPv4) << "unknown family or transport";
    QTest::newRow("v2 IPv4, unspecified transport") << v2(0x21, 0x10, blocIPv4) << "unknown family or transport";
    QTest::newRow("v2 unspecified family, STREAM") << v2(0x21, 0x01, blocIPv4) << "unknown family or transport";
    QTest::newRow("v2 IPv4, no addresses") << v2(0x21, 0x11, {}) << "addresses cut short";
    QTest::newRow("v2 IPv4, 11 bytes") << v2(0x21, 0x11, blocIPv4.left(22)) << "addresses cut short";
    QTest::newRow("v2 IPv6, IPv4's 12 bytes") << v2(0x21, 0x21, blocIPv4) << "addresses cut short";
    QTest::newRow("v2 IPv6, 35 bytes") << v2(0x21, 0x21, blocIPv6.left(70)) << "addresses cut short";
    QTest::newRow("v2 UDP over IPv4, 11 bytes") << v2(0x21, 0x12, blocIPv4.left(22)) << "addresses cut short";
    QTest::newRow("v2 UNIX, 215 bytes") << v2(0x21, 0x31, hexRepete("00", 215)) << "addresses cut short";
    QTest::newRow("v2 one byte past the addresses") << v2(0x21, 0x11, blocIPv4 + "04") << "malformed TLV";
    QTest::newRow("v2 TLV without its length") << v2(0x21, 0x11, blocIPv4 + "0400") << "malformed TLV";
    QTest::newRow("v2 TLV longer than the header") << v2(0x21, 0x11, blocIPv4 + "04000500") << "malformed TLV";
    QTest::newRow("v2 TLVs, the last one cut") << v2(0x21, 0x11, blocIPv4 + "050000" "040002ff") << "malformed TLV";
    QTest::newRow("v2 IPv6, TLV cut") << v2(0x21, 0x21, blocIPv6 + "0100") << "malformed TLV";
    // Refused from the fixed part alone: nothing more is waited for.
    QTest::newRow("v2 one byte too long") << debutV2(0x21, 0x11, 2033) << "header too long";
    QTest::newRow("v2 longest length") << debutV2(0x21, 0x11, 0xFFFF) << "header too long";
    QTest::newRow("v2 LOCAL too long") << debutV2(0x20, 0x00, 0xFFFF) << "header too long";
}

void TestProtocoleProxy::entetesMalformes()
{
    QFETCH(QByteArray, octets);
    QFETCH(QString, motif);
    const EnteteProxy lu = lire(octets);
    QCOMPARE(lu.etat, EnteteProxy::Etat::Invalide);
    QCOMPARE(lu.motif, motif);
    QCOMPARE(int(lu.taille), 0);
    QVERIFY(!lu.adresseFournie);
}

void TestProtocoleProxy::haproxyReel_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("hote");
    QTest::newRow("send-proxy, IPv4") << "send-proxy" << "127.0.0.1";
    QTest::newRow("send-proxy-v2, IPv4") << "send-proxy-v2" << "127.0.0.1";
    QTest::newRow("send-proxy, IPv6") << "send-proxy" << "::1";
    QTest::newRow("send-proxy-v2, IPv6") << "send-proxy-v2" << "::1";
}

// HAProxy between a client of the test and the test's server: the header
// that arrives names the client's own address and port, and the client's
// bytes follow it untouched.
void TestProtocoleProxy::haproxyReel()
{
    QFETCH(QString, option);
    QFETCH(QString, hote);
    const QString haproxy = programme(QStringLiteral("haproxy"));
    if (haproxy.isEmpty())
        QSKIP("needs haproxy: the haproxy program is not installed (Debian package haproxy)");
    const QHostAddress adresseHote(hote);
    if (portLibre(adresseHote) == 0)
        QSKIP(qPrintable(QStringLiteral("this machine cannot listen on %1").arg(hote)));

    QTcpServer serveur;
    QVERIFY(serveur.listen(QHostAddress::LocalHost, 0));
    // No health check: the only connection that reaches the server is the client's.
    const QString modele = QStringLiteral("defaults\n"
                                          "    mode tcp\n"
                                          "    timeout connect 30s\n"
                                          "    timeout client 60s\n"
                                          "    timeout server 60s\n"
                                          "frontend entree\n"
                                          "    bind ipv%1@%2:{front}\n"
                                          "    default_backend arrivee\n"
                                          "backend arrivee\n"
                                          "    server test 127.0.0.1:{back} %3\n")
                               .arg(adresseHote.protocol() == QAbstractSocket::IPv4Protocol ? 4 : 6)
                               .arg(hote, option);
    ProxyReel proxy;
    QVERIFY(proxy.dossier.isValid());
    QVERIFY(proxy.demarrer(haproxy, {QStringLiteral("-db"), QStringLiteral("-f")}, modele, adresseHote,
                           serveur.serverPort()));

    QTcpSocket client;
    client.connectToHost(adresseHote, proxy.port);
    QVERIFY2(client.waitForConnected(attente), qPrintable(client.errorString()));
    verifierArrivee(serveur, client, proxy, hote);
}

// stunnel's "protocol = proxy" on the server's side of a TLS tunnel: the
// test's client speaks TLS to it, the test's server gets the header in clear.
void TestProtocoleProxy::stunnelReel()
{
    const QString stunnel = programme(QStringLiteral("stunnel4"));
    const QString openssl = programme(QStringLiteral("openssl"));
    if (stunnel.isEmpty() || openssl.isEmpty())
        QSKIP("needs stunnel: stunnel4 or openssl is not installed (Debian packages stunnel4, openssl)");
    if (!QSslSocket::supportsSsl())
        QSKIP("Qt has no TLS backend here: no client to speak to stunnel");

    ProxyReel proxy;
    QVERIFY(proxy.dossier.isValid());
    QProcess certificat;
    certificat.setProcessChannelMode(QProcess::MergedChannels);
    certificat.start(openssl, {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                               QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                               QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                               QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"),
                               QStringLiteral("/CN=qovi-test"), QStringLiteral("-keyout"),
                               proxy.dossier.filePath(QStringLiteral("server.key")), QStringLiteral("-out"),
                               proxy.dossier.filePath(QStringLiteral("server.crt"))});
    QVERIFY(certificat.waitForFinished(attente));
    QVERIFY2(certificat.exitCode() == 0, certificat.readAll().constData());

    QTcpServer serveur;
    QVERIFY(serveur.listen(QHostAddress::LocalHost, 0));
    const QString modele = QStringLiteral("foreground = yes\n"
                                          "pid =\n"
                                          "syslog = no\n"
                                          "[qovi]\n"
                                          "accept = 127.0.0.1:{front}\n"
                                          "connect = 127.0.0.1:{back}\n"
                                          "protocol = proxy\n"
                                          "cert = %1\n"
                                          "key = %2\n")
                               .arg(proxy.dossier.filePath(QStringLiteral("server.crt")),
                                    proxy.dossier.filePath(QStringLiteral("server.key")));
    QVERIFY(proxy.demarrer(stunnel, {}, modele, QHostAddress::LocalHost, serveur.serverPort()));

    QSslSocket client;
    // Its certificate is the one just made: what it proves is not under test.
    client.setPeerVerifyMode(QSslSocket::VerifyNone);
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), proxy.port);
    QVERIFY2(client.waitForEncrypted(attente), qPrintable(client.errorString() + QLatin1Char('\n') + proxy.journal()));
    verifierArrivee(serveur, client, proxy, QStringLiteral("127.0.0.1"));
}

void TestProtocoleProxy::listeDeConfiance_data()
{
    QTest::addColumn<QString>("texte");
    QTest::addColumn<QString>("reseaux");
    QTest::newRow("addresses and a network") << "127.0.0.1,10.0.0.0/8,::1" << "127.0.0.1/32 10.0.0.0/8 ::1/128";
    QTest::newRow("blanks around items") << " 10.1.0.0/16 , 2001:db8::/32 " << "10.1.0.0/16 2001:db8::/32";
    QTest::newRow("everything of one family") << "0.0.0.0/0,::/0" << "0.0.0.0/0 ::/0";
    QTest::newRow("a whole address as a network") << "192.168.1.1/32" << "192.168.1.1/32";
    QTest::newRow("IPv4-mapped address: the IPv4 one") << "::ffff:127.0.0.1" << "127.0.0.1/32";
    QTest::newRow("IPv4-mapped network: the IPv4 one") << "::ffff:10.0.0.0/104" << "10.0.0.0/8";
    QTest::newRow("IPv6 in upper case") << "2001:DB8::1" << "2001:db8::1/128";
}

void TestProtocoleProxy::listeDeConfiance()
{
    QFETCH(QString, texte);
    QFETCH(QString, reseaux);
    QList<SousReseau> proxys;
    QString erreur;
    QVERIFY2(lireProxysDeConfiance(texte, &proxys, &erreur), qPrintable(erreur));
    QStringList lus;
    for (const SousReseau &reseau : proxys)
        lus << reseau.first.toString() + QLatin1Char('/') + QString::number(reseau.second);
    QCOMPARE(lus.join(QLatin1Char(' ')), reseaux);
}

void TestProtocoleProxy::listeRefusee_data()
{
    QTest::addColumn<QString>("texte");
    QTest::addColumn<QString>("erreur");
    const QString vide = QStringLiteral("an empty item in the list of trusted proxies");
    QTest::newRow("empty") << "" << vide;
    QTest::newRow("blanks") << "  " << vide;
    QTest::newRow("comma at the end") << "127.0.0.1," << vide;
    QTest::newRow("two commas") << "127.0.0.1,,::1" << vide;
    const QString pas = QStringLiteral("\"%1\" is not an address nor a network (address/prefix length)");
    QTest::newRow("a name") << "localhost" << pas.arg("localhost");
    QTest::newRow("blank-separated") << "1.2.3.4 5.6.7.8" << pas.arg("1.2.3.4 5.6.7.8");
    QTest::newRow("short IPv4") << "127.1" << pas.arg("127.1");
    QTest::newRow("leading zero (octal elsewhere)") << "010.0.0.1" << pas.arg("010.0.0.1");
    QTest::newRow("with a port") << "127.0.0.1:80" << pas.arg("127.0.0.1:80");
    QTest::newRow("with a scope") << "fe80::1%eth0" << pas.arg("fe80::1%eth0");
    QTest::newRow("IPv4 prefix 33") << "10.0.0.0/33" << pas.arg("10.0.0.0/33");
    QTest::newRow("IPv6 prefix 129") << "::/129" << pas.arg("::/129");
    QTest::newRow("no prefix after the slash") << "10.0.0.0/" << pas.arg("10.0.0.0/");
    QTest::newRow("prefix alone") << "/8" << pas.arg("/8");
    QTest::newRow("two prefixes") << "10.0.0.0/8/8" << pas.arg("10.0.0.0/8/8");
    QTest::newRow("negative prefix") << "10.0.0.0/-1" << pas.arg("10.0.0.0/-1");
    QTest::newRow("prefix with a sign") << "10.0.0.0/+8" << pas.arg("10.0.0.0/+8");
    QTest::newRow("prefix with a leading zero") << "10.0.0.0/08" << pas.arg("10.0.0.0/08");
    QTest::newRow("netmask instead of prefix") << "10.0.0.0/255.0.0.0" << pas.arg("10.0.0.0/255.0.0.0");
    QTest::newRow("mapped network wider than IPv4") << "::ffff:0.0.0.0/95" << pas.arg("::ffff:0.0.0.0/95");
    QTest::newRow("second item bad") << "127.0.0.1, 300.0.0.1" << pas.arg("300.0.0.1");
    QTest::newRow("IPv4 host bits set") << "10.0.0.1/8"
                                        << "\"10.0.0.1/8\" has bits set past its prefix length: the network is 10.0.0.0/8";
    QTest::newRow("IPv6 host bits set") << "2001:db8::1/32"
                                        << "\"2001:db8::1/32\" has bits set past its prefix length: the network is 2001:db8::/32";
}

void TestProtocoleProxy::listeRefusee()
{
    QFETCH(QString, texte);
    QFETCH(QString, erreur);
    QList<SousReseau> proxys{{QHostAddress::LocalHost, 32}};
    QString lue;
    QVERIFY(!lireProxysDeConfiance(texte, &proxys, &lue));
    QCOMPARE(lue, erreur);
    // A refused list changes nothing of the one in force.
    QCOMPARE(proxys.size(), 1);
}

void TestProtocoleProxy::appartenance_data()
{
    QTest::addColumn<QString>("liste");
    QTest::addColumn<QString>("pair");
    QTest::addColumn<bool>("admis");
    QTest::newRow("the address") << "127.0.0.1" << "127.0.0.1" << true;
    QTest::newRow("the next address") << "127.0.0.1" << "127.0.0.2" << false;
    QTest::newRow("IPv4-mapped peer") << "127.0.0.1" << "::ffff:127.0.0.1" << true;
    QTest::newRow("IPv4-mapped peer, other address") << "127.0.0.1" << "::ffff:127.0.0.2" << false;
    QTest::newRow("IPv6 loopback is not IPv4's") << "127.0.0.1" << "::1" << false;
    QTest::newRow("IPv4 loopback is not IPv6's") << "::1" << "127.0.0.1" << false;
    QTest::newRow("IPv6 address") << "::1" << "::1" << true;
    QTest::newRow("IPv6 next address") << "::1" << "::2" << false;
    QTest::newRow("network, first address") << "10.0.0.0/8" << "10.0.0.0" << true;
    QTest::newRow("network, last address") << "10.0.0.0/8" << "10.255.255.255" << true;
    QTest::newRow("network, just before") << "10.0.0.0/8" << "9.255.255.255" << false;
    QTest::newRow("network, just after") << "10.0.0.0/8" << "11.0.0.0" << false;
    QTest::newRow("network, IPv4-mapped peer") << "10.0.0.0/8" << "::ffff:10.1.2.3" << true;
    QTest::newRow("IPv6 network") << "2001:db8::/32" << "2001:db8:ffff::1" << true;
    QTest::newRow("IPv6 network, outside") << "2001:db8::/32" << "2001:db9::1" << false;
    QTest::newRow("mapped network, IPv4 peer") << "::ffff:192.168.0.0/112" << "192.168.3.4" << true;
    QTest::newRow("link-local peer with its interface") << "fe80::/10" << "fe80::1%eth0" << true;
    QTest::newRow("all IPv4 is no IPv6") << "0.0.0.0/0" << "::1" << false;
    QTest::newRow("all IPv4") << "0.0.0.0/0" << "8.8.8.8" << true;
    QTest::newRow("one of several") << "127.0.0.1,10.0.0.0/8,::1" << "10.9.8.7" << true;
    QTest::newRow("none of several") << "127.0.0.1,10.0.0.0/8,::1" << "192.168.0.1" << false;
    QTest::newRow("empty peer") << "0.0.0.0/0,::/0" << "" << false;
    QTest::newRow("peer that is no address") << "0.0.0.0/0,::/0" << "localhost" << false;
    QTest::newRow("peer with a port") << "0.0.0.0/0,::/0" << "127.0.0.1:80" << false;
    QTest::newRow("short-form peer") << "0.0.0.0/0,::/0" << "127.1" << false;
}

void TestProtocoleProxy::appartenance()
{
    QFETCH(QString, liste);
    QFETCH(QString, pair);
    QFETCH(bool, admis);
    QList<SousReseau> proxys;
    QString erreur;
    QVERIFY2(lireProxysDeConfiance(liste, &proxys, &erreur), qPrintable(erreur));
    QCOMPARE(estProxyDeConfiance(proxys, pair), admis);
}

QTEST_GUILESS_MAIN(TestProtocoleProxy)
#include "tst_protocoleproxy.moc"
