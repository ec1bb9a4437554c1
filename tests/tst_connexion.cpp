// The connect button and the connection's life, seen from the message log, the
// button and a real server on the loopback interface.

#include "outils.h"

#include "identity/compte.h"
#include "window/fenclient.h"

#include <QFile>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int attente = 10000;
const int attenteResolution = 60000; // a slow resolver may take its time to say no

const QString refus = QStringLiteral(
    "ERROR : the server refused the connection. The server may be unavailable. Also check the IP and the port.");
const QString introuvable = QStringLiteral("ERROR : the server could not be found. Check the IP and the port.");
const QString sansReponse = QStringLiteral(
    "ERROR : the server did not answer in time. The server may be unavailable. Also check the IP and the port.");

// A peer on 127.0.0.1 that never answers a SYN: a listening socket whose queue
// (of length 0) is already taken by one connection that nobody accepts, so the
// kernel drops every further SYN and an attempt waits for as long as it is let.
class PairMuet
{
public:
    PairMuet()
    {
        descripteur = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in adresse{};
        adresse.sin_family = AF_INET;
        adresse.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t taille = sizeof adresse;
        if (descripteur < 0 || ::bind(descripteur, reinterpret_cast<sockaddr *>(&adresse), sizeof adresse) != 0
            || ::listen(descripteur, 0) != 0
            || ::getsockname(descripteur, reinterpret_cast<sockaddr *>(&adresse), &taille) != 0)
            return;
        port = ntohs(adresse.sin_port);
        remplissage.connectToHost(QHostAddress::LocalHost, port);
    }
    ~PairMuet()
    {
        remplissage.abort();
        if (descripteur >= 0)
            ::close(descripteur);
    }

    // True once the queue is full.
    bool pret() { return port != 0 && remplissage.waitForConnected(attente); }

    quint16 port = 0;

private:
    int descripteur = -1;
    QTcpSocket remplissage;
};

// Writes down, as they happen, each new log line and each change of the
// connect button, with the bytes that the socket holds for sending at that
// moment: this shows when the credentials were handed to the socket.
class Chronique : public QObject
{
public:
    explicit Chronique(FenClient &fenetre)
        : fenetre(fenetre)
        , bouton(fenetre.findChild<QPushButton *>(QStringLiteral("boutonConnexion")))
    {
        bouton->installEventFilter(this);
        connect(fenetre.findChild<QTextEdit *>(QStringLiteral("listeMessages")), &QTextEdit::textChanged, this,
                [this] {
                    const QStringList lignes = lignesJournal(this->fenetre);
                    if (lignes.size() == lignesVues)
                        return;
                    lignesVues = lignes.size();
                    noter(QStringLiteral("log: ") + lignes.last());
                });
    }

    QStringList evenements;

protected:
    bool eventFilter(QObject *objet, QEvent *evenement) override
    {
        if (objet == bouton && evenement->type() == QEvent::EnabledChange)
            noter(bouton->isEnabled() ? QStringLiteral("button enabled") : QStringLiteral("button disabled"));
        return false;
    }

private:
    void noter(const QString &quoi)
    {
        evenements.append(quoi + QStringLiteral(" / queued ")
                          + QString::number(socketFenetre(fenetre)->bytesToWrite()));
    }

    FenClient &fenetre;
    QPushButton *bouton;
    int lignesVues = 0;
};

} // namespace

class TstConnexion : public QObject
{
    Q_OBJECT

private slots:
    void connexion();
    void nouvellePressionPendantLaConnexion();
    void echecDeConnexion_data();
    void echecDeConnexion();
    void serveurQuiCoupe();
    void rienNePartSansConnexion();
    void cleTropLonguePourUneTrame();
    void nouvelleTentativeOublieLaTrameEntamee();
    void serveurMuetAbandonne();
    void connexionSansReponseAbandonnee();
    void premiereReponseArreteLeDelai_data();
    void premiereReponseArreteLeDelai();
};

void TstConnexion::connexion()
{
    DossierTemporaire dossier;
    ServeurBoucle serveur;
    FenClient fenetre;
    Chronique chronique(fenetre);
    auto *bouton = fenetre.findChild<QPushButton *>(QStringLiteral("boutonConnexion"));
    const QString compte = identifiantCompte();
    const QString cle = lireFichierTexte(compte + QStringLiteral(".key"));
    QCOMPARE(cle.size(), 20);

    connecterFenetre(fenetre, serveur.port());
    QVERIFY(!bouton->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(serveur.requetes.size(), 1, attente);

    QCOMPARE(serveur.requetes.first(), QStringLiteral("c:") + compte + QLatin1Char(':') + cle
                                           + QStringLiteral(":vers101"));
    QCOMPARE(serveur.brut.size(), 350);
    QCOMPARE(quint8(serveur.brut.at(0)), quint8(0x01));
    QCOMPARE(quint8(serveur.brut.at(1)), quint8(0x5C));
    QCOMPARE(lignesJournal(fenetre), QStringList({tentative, reussite}));
    QVERIFY(bouton->isEnabled());
    // The credentials are handed to the socket after the success line and
    // before the button comes back.
    const QStringList attendus = {
        QStringLiteral("log: ") + tentative + QStringLiteral(" / queued 0"),
        QStringLiteral("button disabled / queued 0"),
        QStringLiteral("log: ") + reussite + QStringLiteral(" / queued 0"),
        QStringLiteral("button enabled / queued 350"),
    };
    QCOMPARE(chronique.evenements, attendus);
}

void TstConnexion::nouvellePressionPendantLaConnexion()
{
    DossierTemporaire dossier;
    ServeurBoucle serveur;
    FenClient fenetre;
    auto *bouton = fenetre.findChild<QPushButton *>(QStringLiteral("boutonConnexion"));
    connecterFenetre(fenetre, serveur.port());
    QTRY_COMPARE_WITH_TIMEOUT(serveur.requetes.size(), 1, attente);

    bouton->click();
    QVERIFY(!bouton->isEnabled());
    QCOMPARE(lignesJournal(fenetre), QStringList({tentative, reussite, tentative, deconnexion}));
    QTRY_COMPARE_WITH_TIMEOUT(serveur.requetes.size(), 2, attente);

    QCOMPARE(serveur.connexions, 2);
    QCOMPARE(serveur.requetes.at(1), serveur.requetes.at(0));
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(fenetre),
                              QStringList({tentative, reussite, tentative, deconnexion, reussite}), attente);
    QVERIFY(bouton->isEnabled());
}

void TstConnexion::echecDeConnexion_data()
{
    QTest::addColumn<QString>("hote");
    QTest::addColumn<QString>("ligne");
    QTest::addColumn<int>("delai");

    QTest::newRow("port closed") << QStringLiteral("127.0.0.1") << refus << attente;
    QTest::newRow("unknown host") << QStringLiteral("nonexistent.invalid") << introuvable << attenteResolution;
}

void TstConnexion::echecDeConnexion()
{
    QFETCH(QString, hote);
    QFETCH(QString, ligne);
    QFETCH(int, delai);

    DossierTemporaire dossier;
    quint16 portFerme = 0;
    {
        QTcpServer ecoute;
        QVERIFY(ecoute.listen(QHostAddress::LocalHost, 0));
        portFerme = ecoute.serverPort();
    }
    FenClient fenetre;
    auto *bouton = fenetre.findChild<QPushButton *>(QStringLiteral("boutonConnexion"));
    fenetre.findChild<QLineEdit *>(QStringLiteral("serveurIP"))->setText(hote);
    fenetre.findChild<QSpinBox *>(QStringLiteral("serveurPort"))->setValue(portFerme);
    bouton->click();
    QVERIFY(!bouton->isEnabled());

    QTRY_VERIFY_WITH_TIMEOUT(bouton->isEnabled(), delai);
    QCOMPARE(lignesJournal(fenetre), QStringList({tentative, ligne}));

    // No connection existed, so no disconnection line comes later: the next
    // attempt's lines follow the error line directly.
    ServeurBoucle serveur;
    connecterFenetre(fenetre, serveur.port());
    QTRY_COMPARE_WITH_TIMEOUT(serveur.requetes.size(), 1, attente);
    QCOMPARE(lignesJournal(fenetre), QStringList({tentative, ligne, tentative, reussite}));
}

void TstConnexion::serveurQuiCoupe()
{
    SessionBoucle session;
    QVERIFY(session.connecter());

    session.serveur.client->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(session.fenetre).size(), 4, attente);
    QCOMPARE(lignesJournal(session.fenetre), QStringList({tentative, reussite, coupure, deconnexion}));
    QVERIFY(session.fenetre.findChild<QPushButton *>(QStringLiteral("boutonConnexion"))->isEnabled());
}

void TstConnexion::rienNePartSansConnexion()
{
    DossierTemporaire dossier;
    ServeurBoucle serveur;
    FenClient fenetre;
    // Everything a transfer needs, but no connection yet.
    fenetre.findChild<QLabel *>(QStringLiteral("solde"))->setText(QStringLiteral("1500"));
    fenetre.findChild<QLineEdit *>(QStringLiteral("destinataire"))->setText(QStringLiteral("00AABBCCDDEE"));
    fenetre.findChild<QSpinBox *>(QStringLiteral("montant"))->setValue(250);
    {
        RepondeurBoites boites(QMessageBox::Yes);
        fenetre.findChild<QAbstractButton *>(QStringLiteral("boutonEnvoiArgent"))->click();
        QCOMPARE(boites.vues.size(), 1); // the question only: the request was made
    }
    // Not sent, and the user is told.
    QCOMPARE(lignesJournal(fenetre),
             QStringList(QStringLiteral("ERROR : the transfer was not sent: you are not connected to the server.")));

    // Had the request been kept, it would reach the server before or after the credentials.
    connecterFenetre(fenetre, serveur.port());
    QTRY_COMPARE_WITH_TIMEOUT(serveur.requetes.size(), 1, attente);
    QVERIFY(serveur.requetes.first().startsWith(QStringLiteral("c:")));
    QCOMPARE(serveur.brut.size(), 350);
}

void TstConnexion::cleTropLonguePourUneTrame()
{
    DossierTemporaire dossier;
    const QString compte = identifiantCompte();
    {
        QFile cle(compte + QStringLiteral(".key"));
        QVERIFY(cle.open(QIODevice::WriteOnly));
        cle.write(QByteArray(9000, '7'));
    }
    ServeurBoucle serveur;
    FenClient fenetre;
    Chronique chronique(fenetre);
    connecterFenetre(fenetre, serveur.port());
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(fenetre).size(), 3, attente);

    const QStringList lignes = lignesJournal(fenetre);
    QCOMPARE(lignes.mid(0, 2), QStringList({tentative, reussite}));
    QVERIFY2(lignes.at(2).startsWith(QStringLiteral("ERROR : ")), qPrintable(lignes.at(2)));
    // Nothing was handed to the socket when the connection was made.
    QCOMPARE(chronique.evenements.last(), QStringLiteral("button enabled / queued 0"));

    // The connection is still up: a reply gets through.
    serveur.envoyer(trameReponse(QStringLiteral("m:7")));
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(fenetre).size(), 4, attente);
    QCOMPARE(lignesJournal(fenetre).last(), QStringLiteral("Welcome, your balance is 7 qovi$"));
    QCOMPARE(lignesJournal(fenetre).filter(QStringLiteral("ERROR : ")).size(), 1);
    QVERIFY(serveur.brut.isEmpty());
    QCOMPARE(socketFenetre(fenetre)->state(), QAbstractSocket::ConnectedState);
}

void TstConnexion::nouvelleTentativeOublieLaTrameEntamee()
{
    DossierTemporaire dossier;
    ServeurBoucle premier;
    ServeurBoucle second;
    FenClient fenetre;
    QSignalSpy donnees(socketFenetre(fenetre), &QTcpSocket::readyRead);
    connecterFenetre(fenetre, premier.port());
    QTRY_COMPARE_WITH_TIMEOUT(premier.requetes.size(), 1, attente);

    // Only the header of a frame: the client now waits for 256 bytes of body.
    premier.envoyer(QByteArray::fromHex("0100"));
    QTRY_COMPARE_WITH_TIMEOUT(donnees.count(), 1, attente);
    QCOMPARE(socketFenetre(fenetre)->bytesAvailable(), qint64(0));

    connecterFenetre(fenetre, second.port());
    QTRY_COMPARE_WITH_TIMEOUT(second.requetes.size(), 1, attente);
    second.envoyer(trameReponse(QStringLiteral("m:7")));
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(fenetre).size(), 6, attente);
    QCOMPARE(lignesJournal(fenetre).last(), QStringLiteral("Welcome, your balance is 7 qovi$"));
    QCOMPARE(fenetre.findChild<QLabel *>(QStringLiteral("solde"))->text(), QStringLiteral("7"));
}

// An attempt that gets no answer ends after the window's delay with an error
// line, and gives the button back; the next attempt starts afresh.
void TstConnexion::serveurMuetAbandonne()
{
    DossierTemporaire dossier;
    PairMuet muet;
    QVERIFY(muet.pret());
    FenClient fenetre;
    fenetre.definirDelaiConnexion(300);
    auto *bouton = fenetre.findChild<QPushButton *>(QStringLiteral("boutonConnexion"));

    connecterFenetre(fenetre, muet.port);
    QTRY_VERIFY_WITH_TIMEOUT(bouton->isEnabled(), attente);
    if (lignesJournal(fenetre).contains(reussite))
        QSKIP("this kernel took a connection beyond a full listen queue: no silent peer to test with");
    QCOMPARE(lignesJournal(fenetre), QStringList({tentative, sansReponse}));
    QCOMPARE(socketFenetre(fenetre)->state(), QAbstractSocket::UnconnectedState);

    ServeurBoucle serveur;
    connecterFenetre(fenetre, serveur.port());
    QTRY_COMPARE_WITH_TIMEOUT(serveur.requetes.size(), 1, attente);
    QCOMPARE(lignesJournal(fenetre), QStringList({tentative, sansReponse, tentative, reussite}));
    QVERIFY(bouton->isEnabled());
}

// A server that accepts the connection and never answers the credentials: the
// login ends after the same delay, with the same error line, the connection
// closed and the button back.
void TstConnexion::connexionSansReponseAbandonnee()
{
    DossierTemporaire dossier;
    QTcpServer muet;
    QVERIFY(muet.listen(QHostAddress::LocalHost, 0));
    FenClient fenetre;
    fenetre.definirDelaiConnexion(300);
    auto *bouton = fenetre.findChild<QPushButton *>(QStringLiteral("boutonConnexion"));

    connecterFenetre(fenetre, muet.serverPort());
    QVERIFY(muet.waitForNewConnection(attente));
    QTcpSocket *accepte = muet.nextPendingConnection();
    QSignalSpy ferme(accepte, &QTcpSocket::disconnected);
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(fenetre).size(), 4, attente);
    QCOMPARE(lignesJournal(fenetre), QStringList({tentative, reussite, sansReponse, deconnexion}));
    QCOMPARE(socketFenetre(fenetre)->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(bouton->isEnabled());
    QVERIFY(ferme.count() > 0 || ferme.wait(attente)); // the server sees the connection closed
}

void TstConnexion::premiereReponseArreteLeDelai_data()
{
    QTest::addColumn<QString>("reponse");
    QTest::addColumn<bool>("abandon"); // whether the login is still given up after it

    QTest::newRow("balance") << QStringLiteral("m:7") << false;
    QTest::newRow("new account") << QStringLiteral("n:0A1B2C3D4E5F") << false;
    // A notice answers nothing: a server that sends only notices is still given up.
    QTest::newRow("notice") << QStringLiteral("i:hello") << true;
}

// Once the server has answered the credentials, the connection may stay idle
// for as long as it likes.
void TstConnexion::premiereReponseArreteLeDelai()
{
    QFETCH(QString, reponse);
    QFETCH(bool, abandon);

    const int delai = 1000;
    SessionBoucle session;
    session.fenetre.definirDelaiConnexion(delai);
    RepondeurBoites boites;
    QTimer bienApres; // started after the window's delay, due well after it: their order is kept
    bienApres.setSingleShot(true);
    bienApres.setTimerType(Qt::PreciseTimer);
    QSignalSpy echeance(&bienApres, &QTimer::timeout);
    session.serveur.surRequete = [&](const QString &) { session.serveur.envoyer(trameReponse(reponse)); };
    connecterFenetre(session.fenetre, session.serveur.port());
    bienApres.start(3 * delai);
    QVERIFY(echeance.wait(10 * delai));

    const QStringList lignes = lignesJournal(session.fenetre);
    QCOMPARE(session.serveur.requetes.size(), 1);
    QCOMPARE(lignes.size(), abandon ? 5 : 3);
    QCOMPARE(lignes.mid(0, 2), QStringList({tentative, reussite}));
    if (abandon) {
        QCOMPARE(lignes.mid(3), QStringList({sansReponse, deconnexion}));
        return;
    }
    QCOMPARE(socketFenetre(session.fenetre)->state(), QAbstractSocket::ConnectedState);
}

QTEST_MAIN(TstConnexion)
#include "tst_connexion.moc"
