// The client window against a server that misbehaves: garbage, a frame that
// never ends, the longest frames, a flood, a connection cut in the middle of a
// frame. Whatever the server does, the window keeps reacting, shows only what
// the frames it completed say, keeps a bounded log, and the next connection works.

#include "outils.h"

#include "history/historique.h"
#include "window/journal.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTextDocument>
#include <QtTest>

namespace {

const int attente = 30000;

const QString expediteur = QStringLiteral("0A1B2C3D4E5F");

// A body holding one string of the given UTF-16 units.
QByteArray corpsTexte(const QString &texte)
{
    QByteArray corps;
    QDataStream sortie(&corps, QIODevice::WriteOnly);
    sortie << texte;
    return corps;
}

// The same bytes on every run, for a given seed.
QByteArray octetsAleatoires(QRandomGenerator &hasard, int taille)
{
    QByteArray octets(taille, Qt::Uninitialized);
    for (char &octet : octets)
        octet = char(hasard.bounded(256));
    return octets;
}

// Frames of random length whose bodies are random bytes.
QByteArray corpsAleatoires(quint32 graine)
{
    QRandomGenerator hasard(graine);
    QByteArray flot;
    for (int i = 0; i < 60; ++i)
        flot += trameBrute(octetsAleatoires(hasard, hasard.bounded(300)));
    return flot;
}

// Frames holding well-formed strings of random units: nothing the server's codec made.
QByteArray textesAleatoires(quint32 graine)
{
    QRandomGenerator hasard(graine);
    QByteArray flot;
    for (int i = 0; i < 60; ++i) {
        QString texte(hasard.bounded(1, 200), Qt::Uninitialized);
        for (QChar &unite : texte)
            unite = QChar(ushort(hasard.bounded(0x10000)));
        flot += trameBrute(corpsTexte(texte));
    }
    return flot;
}

// What the window still holds unread once it has taken every whole frame of
// flot: the part of the last body that has not come (its header is taken),
// or a lone first byte of a header.
qint64 resteApresTrames(const QByteArray &flot)
{
    int debut = 0;
    while (flot.size() - debut >= 2) {
        const int taille = (quint8(flot[debut]) << 8) | quint8(flot[debut + 1]);
        if (flot.size() - debut - 2 < taille)
            return flot.size() - debut - 2;
        debut += 2 + taille;
    }
    return flot.size() - debut;
}

// A shown window connected to its loopback server.
struct Session : SessionBoucle
{
    Session() { fenetre.show(); }

    int paragraphes() const
    {
        return fenetre.findChild<QTextEdit *>(QStringLiteral("listeMessages"))->document()->blockCount();
    }

    // Presses the connect button again, on the same server: the credentials go
    // out on the new connection and its first reply is handled.
    bool reconnecter()
    {
        const int requetes = serveur.requetes.size();
        connecterFenetre(fenetre, serveur.port());
        if (!QTest::qWaitFor([&] { return serveur.requetes.size() == requetes + 1; }, attente))
            return false;
        if (!serveur.requetes.last().startsWith(QLatin1String("c:")))
            return false;
        serveur.envoyer(trameReponse(QStringLiteral("m:7")));
        return QTest::qWaitFor([&] { return lignesJournal(fenetre).last() == bienvenue(QStringLiteral("7")); },
                               attente);
    }
};

} // namespace

class TstPairHostile : public QObject
{
    Q_OBJECT

private slots:
    void fluxHostile_data();
    void fluxHostile();
    void tramesLesPlusLongues_data();
    void tramesLesPlusLongues();
    void deluge_data();
    void deluge();
    void delugeDerriereLaBoite();
};

void TstPairHostile::fluxHostile_data()
{
    QTest::addColumn<QByteArray>("octets");
    QTest::addColumn<bool>("fermer");      // the server closes once the bytes are sent
    QTest::addColumn<QStringList>("lignes"); // what the log shows of it

    QRandomGenerator hasard(20240611);
    const QByteArray bruit = octetsAleatoires(hasard, 4096);
    const QByteArray reponse = trameReponse(QStringLiteral("m:99"));

    // The server stays connected and says nothing more: the window waits.
    QTest::newRow("random bytes") << bruit << false << QStringList();
    QTest::newRow("frames of random bytes") << corpsAleatoires(7) << false << QStringList();
    QTest::newRow("frames of random texts") << textesAleatoires(11) << false << QStringList();
    QTest::newRow("more announced than sent")
        << QByteArray::fromHex("ffff") + octetsAleatoires(hasard, 1000) << false << QStringList();
    QTest::newRow("reply cut in its body") << reponse.left(reponse.size() / 2) << false << QStringList();

    // The server closes in the middle of a frame: nothing of it is handled.
    QTest::newRow("reply cut in its body, closed")
        << reponse.left(reponse.size() / 2) << true << QStringList({coupure, deconnexion});
    QTest::newRow("reply cut in its header, closed") << reponse.left(1) << true << QStringList({coupure, deconnexion});
    QTest::newRow("random bytes, closed") << bruit << true << QStringList({coupure, deconnexion});
}

void TstPairHostile::fluxHostile()
{
    QFETCH(QByteArray, octets);
    QFETCH(bool, fermer);
    QFETCH(QStringList, lignes);

    Session session;
    RepondeurBoites boites;
    QVERIFY(session.connecter());
    const QString soldeInitial = session.solde();
    QTcpSocket *socket = socketFenetre(session.fenetre);
    QSignalSpy arrivees(socket, &QTcpSocket::readyRead);
    Battement battement;

    session.serveur.envoyer(octets);
    if (fermer) {
        session.serveur.client->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(session.fenetre).size(), 2 + lignes.size(), attente);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(arrivees.count() > 0 && socket->bytesAvailable() == resteApresTrames(octets),
                                 attente);
        // The window waits for the rest of the frame without holding up the event loop.
        const int tours = battement.nombre;
        QTRY_VERIFY_WITH_TIMEOUT(battement.nombre >= tours + 20, attente);
        QCOMPARE(socket->state(), QAbstractSocket::ConnectedState);
    }
    QCOMPARE(lignesJournal(session.fenetre), QStringList({tentative, reussite}) + lignes);
    QCOMPARE(session.solde(), soldeInitial);
    QVERIFY(boites.vues.isEmpty());

    // Nothing of the old connection is taken as the start of the new one.
    QVERIFY(session.reconnecter());
    const QStringList suite = fermer ? QStringList({tentative, reussite, bienvenue("7")})
                                     : QStringList({tentative, deconnexion, reussite, bienvenue("7")});
    QCOMPARE(lignesJournal(session.fenetre), QStringList({tentative, reussite}) + lignes + suite);
    QCOMPARE(session.solde(), QStringLiteral("7"));
    QVERIFY2(battement.pireEcart() < pireEcartAdmis, battement.rapport());
}

void TstPairHostile::tramesLesPlusLongues_data()
{
    QTest::addColumn<QByteArray>("octets");
    QTest::addColumn<QStringList>("lignes");

    // The longest string a frame holds: 32765 units, a body of 65534 bytes.
    // Here a notice of 8189 characters scrambled, and one unit more, which
    // unscrambles to 'y' on its own.
    const QString texteLePlusLong = brouiller(QStringLiteral("i:") + QString(8189, QLatin1Char('x'))) + QChar(0x85);
    QCOMPARE(texteLePlusLong.size(), tailleMaxTexteTrame);
    const QByteArray corpsLePlusLong = corpsTexte(texteLePlusLong);
    QCOMPARE(corpsLePlusLong.size(), 0xFFFE);

    // The longest body of all, 65535 bytes, cannot be one well-formed string.
    const QByteArray etUnOctet = trameBrute(corpsLePlusLong + 'y');
    QCOMPARE(etUnOctet.size(), 2 + 0xFFFF);
    const QByteArray tailleImpaire = trameBrute(QByteArray::fromHex("0000fffb") + QByteArray(0xFFFB, 'A'));
    QCOMPARE(tailleImpaire.size(), 2 + 0xFFFF);

    QTest::newRow("longest string") << trameBrute(corpsLePlusLong)
                                    << QStringList({QString(8189, QLatin1Char('x')) + QLatin1Char('y')});
    QTest::newRow("65535 bytes: a string and one byte more") << etUnOctet << QStringList();
    QTest::newRow("65535 bytes: odd text size") << tailleImpaire << QStringList();
    QTest::newRow("three of 65535 bytes") << etUnOctet + tailleImpaire + etUnOctet << QStringList();
    QTest::newRow("longest string between two of 65535 bytes")
        << tailleImpaire + trameBrute(corpsLePlusLong) + etUnOctet
        << QStringList({QString(8189, QLatin1Char('x')) + QLatin1Char('y')});
}

void TstPairHostile::tramesLesPlusLongues()
{
    QFETCH(QByteArray, octets);
    QFETCH(QStringList, lignes);

    Session session;
    QVERIFY(session.connecter());
    Battement battement;

    // A small reply right behind: it is handled, so the long ones were taken whole.
    session.serveur.envoyer(octets + trameReponse(QStringLiteral("m:7")));
    QTRY_COMPARE_WITH_TIMEOUT(session.solde(), QStringLiteral("7"), attente);
    QCOMPARE(lignesJournal(session.fenetre), QStringList({tentative, reussite}) + lignes + QStringList(bienvenue("7")));
    QCOMPARE(socketFenetre(session.fenetre)->bytesAvailable(), qint64(0));

    session.serveur.envoyer(trameReponse(QStringLiteral("i:after")));
    QTRY_COMPARE_WITH_TIMEOUT(lignesJournal(session.fenetre).last(), QStringLiteral("after"), attente);
    QVERIFY2(battement.pireEcart() < pireEcartAdmis, battement.rapport());
}

void TstPairHostile::deluge_data()
{
    QTest::addColumn<QString>("modele"); // %1: the frame's rank, from 1
    QTest::addColumn<QString>("ligne");  // the line it gives
    QTest::addColumn<bool>("argent");    // r: replies: the amount is the rank's last digit + 1

    QTest::newRow("20000 notices") << QStringLiteral("i:%1") << QStringLiteral("%1") << false;
    QTest::newRow("20000 amounts received") << QStringLiteral("r:%1:") + expediteur
                                            << expediteur + QStringLiteral("  has sent you an amount of %1 qovi$")
                                            << true;
}

void TstPairHostile::deluge()
{
    QFETCH(QString, modele);
    QFETCH(QString, ligne);
    QFETCH(bool, argent);

    const int nombre = 20000;
    // The login answered first: a flood however slow to take in is not a server that never answers.
    QByteArray flot = trameReponse(QStringLiteral("m:0"));
    QStringList attendues = {bienvenue(QStringLiteral("0"))};
    qint64 somme = 0;
    for (int rang = 1; rang <= nombre; ++rang) {
        const int valeur = argent ? rang % 10 + 1 : rang;
        flot += trameReponse(modele.arg(valeur));
        attendues << ligne.arg(valeur);
        somme += valeur;
    }

    Session session;
    QVERIFY(session.connecter());
    const QString compte = session.compte();
    Battement battement;

    session.serveur.envoyer(flot);
    // Every reply handled: the last line of a unique text, or the sum of the amounts.
    const QString fin = argent ? QString::number(somme) : attendues.last();
    QTRY_COMPARE_WITH_TIMEOUT(argent ? session.solde() : lignesJournal(session.fenetre).last(), fin, 120000);
    // The log keeps a bounded tail of the lines, in order; the history file keeps every record.
    const QStringList journal = lignesJournal(session.fenetre);
    QVERIFY2(journal.size() >= lignesJournalGardees && journal.size() < lignesJournalGardees + lotRognage,
             qPrintable(QString::number(journal.size())));
    QCOMPARE(journal, attendues.mid(attendues.size() - journal.size()));
    if (argent) {
        QCOMPARE(lireHistorique(compte).count(QStringLiteral("-received-")), nombre);
    }
    QCOMPARE(socketFenetre(session.fenetre)->bytesAvailable(), qint64(0));
    QVERIFY2(battement.pireEcart() < pireEcartAdmis, battement.rapport());
    QVERIFY(battement.nombre > 0);

    QVERIFY(session.reconnecter());
    QCOMPARE(session.solde(), QStringLiteral("7"));
}

// The account-creation box stays open while replies keep coming, more than
// the window takes in at once: once it is closed, every one is handled.
void TstPairHostile::delugeDerriereLaBoite()
{
    const int nombre = 2000;
    QByteArray flot;
    for (int rang = 1; rang <= nombre; ++rang)
        flot += trameReponse(QStringLiteral("r:1:") + expediteur);

    Session session;
    QVERIFY(session.connecter());
    const QString compte = session.compte();
    QTcpSocket *socket = socketFenetre(session.fenetre);
    RepondeurBoites boites;
    Battement battement;
    // Behind the box the socket takes in what it may hold, and waits.
    qint64 tenuDerriereLaBoite = -1;
    BoiteTenueOuverte tenue(boites,
                            {[&] { session.serveur.envoyer(flot); },
                             [&] { return socket->bytesAvailable() == tailleLectureReponses; },
                             [&] { tenuDerriereLaBoite = socket->bytesAvailable(); }},
                            attente);
    session.serveur.envoyer(trameReponse(QStringLiteral("n:") + compte));

    QTRY_VERIFY_WITH_TIMEOUT(tenue.fermee(), 2 * attente);
    QCOMPARE(tenuDerriereLaBoite, tailleLectureReponses);
    QTRY_COMPARE_WITH_TIMEOUT(session.solde(), QString::number(nombre), attente);
    QCOMPARE(boites.vues.size(), 1);
    QCOMPARE(session.paragraphes(), 3 + nombre);
    QCOMPARE(lireHistorique(compte).count(QStringLiteral("-received-")), nombre);
    QVERIFY2(battement.pireEcart() < pireEcartAdmis, battement.rapport());

    QVERIFY(session.reconnecter());
}

QTEST_MAIN(TstPairHostile)
#include "tst_pairhostile.moc"
