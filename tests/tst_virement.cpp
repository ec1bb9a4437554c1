// The transfer button: the question, the local checks in their order, and the
// request that reaches a real server on the loopback interface.

#include "outils.h"

#include "identity/compte.h"

#include <QLabel>
#include <QScopeGuard>
#include <QTextBlock>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int attente = 10000;
const QString autreCompte = QStringLiteral("00AABBCCDDEE");

QLabel *solde(const SessionBoucle &session)
{
    return session.fenetre.findChild<QLabel *>(QStringLiteral("solde"));
}

QLineEdit *destinataire(const SessionBoucle &session)
{
    return session.fenetre.findChild<QLineEdit *>(QStringLiteral("destinataire"));
}

QSpinBox *montant(const SessionBoucle &session)
{
    return session.fenetre.findChild<QSpinBox *>(QStringLiteral("montant"));
}

void virer(SessionBoucle &session)
{
    session.fenetre.findChild<QAbstractButton *>(QStringLiteral("boutonEnvoiArgent"))->click();
}

QString cle()
{
    return lireFichierTexte(identifiantCompte() + QStringLiteral(".key"));
}

// The request that a transfer of montant to destinataire must produce.
QString demande(const QString &destinataire, const QString &montant)
{
    return QStringLiteral("v:") + identifiantCompte() + QLatin1Char(':') + destinataire + QLatin1Char(':') + montant
        + QLatin1Char(':') + cle() + QStringLiteral(":vers101");
}

// The balance as the server gives it: through a reply on the connection.
bool recevoirSolde(SessionBoucle &session, const QString &valeur)
{
    session.serveur.envoyer(trameReponse(QStringLiteral("m:") + valeur));
    return QTest::qWaitFor([&] { return solde(session)->text() == valeur; }, attente);
}

// Shows that a press sent nothing: a transfer that does go out afterwards
// must be the next request the server gets.
bool rienEnvoye(SessionBoucle &session)
{
    const int avant = session.serveur.requetes.size();
    if (!recevoirSolde(session, QStringLiteral("1000")))
        return false;
    destinataire(session)->setText(autreCompte);
    montant(session)->setValue(1);
    RepondeurBoites boites(QMessageBox::Yes);
    virer(session);
    return QTest::qWaitFor([&] { return session.serveur.requetes.size() > avant; }, attente)
        && session.serveur.requetes.size() == avant + 1 && session.serveur.requetes.last() == demande(autreCompte, "1");
}

// A port on 127.0.0.1 that listens but accepts nothing and whose queue is
// full: a connection to it stays in progress.
class PortSature
{
public:
    PortSature()
    {
        ecoute = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in adresse = {};
        adresse.sin_family = AF_INET;
        adresse.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t taille = sizeof adresse;
        if (bind(ecoute, reinterpret_cast<sockaddr *>(&adresse), taille) != 0 || listen(ecoute, 0) != 0
            || getsockname(ecoute, reinterpret_cast<sockaddr *>(&adresse), &taille) != 0)
            return;
        port = ntohs(adresse.sin_port);
        // The queue holds one connection; the one after it waits for room.
        for (int i = 0; i < 2; ++i) {
            remplissage[i] = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(remplissage[i], reinterpret_cast<sockaddr *>(&adresse), sizeof adresse);
        }
    }
    ~PortSature()
    {
        for (const int descripteur : remplissage)
            close(descripteur);
        close(ecoute);
    }

    quint16 port = 0;

private:
    int ecoute = -1;
    int remplissage[2] = {-1, -1};
};

} // namespace

class TstVirement : public QObject
{
    Q_OBJECT

private slots:
    void verifications_data();
    void verifications();
    void laQuestionVientDAbord();
    void reponseNon();
    void montantEnChiffresAscii();
    void sansConnexion_data();
    void sansConnexion();
};

void TstVirement::verifications_data()
{
    QTest::addColumn<QString>("soldeRecu");
    QTest::addColumn<QString>("versCompte");
    QTest::addColumn<int>("somme");
    QTest::addColumn<QString>("erreur"); // empty: the request goes out

    const QString propre = identifiantCompte();
    const QString insuffisant = QStringLiteral("Your balance is insufficient");
    const QString verifier = QStringLiteral("Check the recipient");
    const QString auMoinsUn = QStringLiteral("you must choose at least one");

    QTest::newRow("the whole balance") << "1500" << autreCompte << 1500 << QString();
    QTest::newRow("one more than the balance") << "1500" << autreCompte << 1501 << insuffisant;
    QTest::newRow("too much, no recipient") << "1500" << QString() << 1501 << insuffisant;
    QTest::newRow("negative balance, nothing") << "-5" << autreCompte << 0 << insuffisant;
    QTest::newRow("nothing, no recipient") << "1500" << QString() << 0 << verifier;
    QTest::newRow("nothing, to oneself") << "1500" << propre << 0 << verifier;
    QTest::newRow("to oneself") << "1500" << propre << 250 << verifier;
    QTest::newRow("nothing") << "1500" << autreCompte << 0 << auMoinsUn;
    QTest::newRow("ordinary") << "1500" << autreCompte << 250 << QString();
    QTest::newRow("oneself in lower case") << "1500" << propre.toLower() << 250 << QString();
}

void TstVirement::verifications()
{
    QFETCH(QString, soldeRecu);
    QFETCH(QString, versCompte);
    QFETCH(int, somme);
    QFETCH(QString, erreur);
    if (versCompte == identifiantCompte() && QTest::currentDataTag() == QLatin1String("oneself in lower case"))
        QSKIP("this machine's account number has no letters");

    SessionBoucle session;
    QVERIFY(session.connecter());
    QVERIFY(recevoirSolde(session, soldeRecu));
    const QString soldeAvant = solde(session)->text();
    const QStringList journalAvant = lignesJournal(session.fenetre);
    destinataire(session)->setText(versCompte);
    montant(session)->setValue(somme);

    RepondeurBoites boites(QMessageBox::Yes);
    virer(session);

    // The fields, the balance and the log are left as they were, whatever the outcome.
    QCOMPARE(destinataire(session)->text(), versCompte);
    QCOMPARE(montant(session)->value(), somme);
    QCOMPARE(solde(session)->text(), soldeAvant);
    QCOMPARE(lignesJournal(session.fenetre), journalAvant);

    if (erreur.isEmpty()) {
        QCOMPARE(boites.vues.size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(session.serveur.requetes.size(), 2, attente);
        QCOMPARE(session.serveur.requetes.last(), demande(versCompte, QString::number(somme)));
        return;
    }
    QCOMPARE(boites.vues.size(), 2);
    QCOMPARE(boites.vues.at(1).titre, QStringLiteral("Error"));
    QCOMPARE(boites.vues.at(1).texte, erreur);
    QCOMPARE(boites.vues.at(1).icone, QMessageBox::Critical);
    QVERIFY(rienEnvoye(session));
}

void TstVirement::laQuestionVientDAbord()
{
    SessionBoucle session;
    QVERIFY(session.connecter());
    QVERIFY(recevoirSolde(session, QStringLiteral("1500")));
    destinataire(session)->setText(autreCompte);
    montant(session)->setValue(250);

    RepondeurBoites boites(QMessageBox::Yes);
    virer(session);

    QCOMPARE(boites.vues.size(), 1);
    QCOMPARE(boites.vues.first().titre, QStringLiteral("CONFIRMATION"));
    QCOMPARE(boites.vues.first().texte, QStringLiteral("Would you like to make a transfer of 250 to 00AABBCCDDEE?"));
    QCOMPARE(boites.vues.first().icone, QMessageBox::Question);
    QTRY_COMPARE_WITH_TIMEOUT(session.serveur.requetes.size(), 2, attente);
    QCOMPARE(session.serveur.requetes.last(),
             QStringLiteral("v:") + identifiantCompte() + QStringLiteral(":00AABBCCDDEE:250:") + cle()
                 + QStringLiteral(":vers101"));
}

void TstVirement::reponseNon()
{
    SessionBoucle session;
    QVERIFY(session.connecter());
    QVERIFY(recevoirSolde(session, QStringLiteral("1500")));
    destinataire(session)->setText(autreCompte);
    montant(session)->setValue(250);
    {
        RepondeurBoites boites(QMessageBox::No);
        virer(session);
        QCOMPARE(boites.vues.size(), 1);
        QCOMPARE(boites.vues.first().titre, QStringLiteral("CONFIRMATION"));
    }
    QVERIFY(rienEnvoye(session));
}

void TstVirement::montantEnChiffresAscii()
{
    const QLocale avant;
    QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
    const auto retour = qScopeGuard([&] { QLocale::setDefault(avant); });

    SessionBoucle session;
    QVERIFY(session.connecter());
    QVERIFY(recevoirSolde(session, QStringLiteral("1500")));
    destinataire(session)->setText(autreCompte);
    montant(session)->setValue(250);
    QVERIFY2(!montant(session)->text().contains(QStringLiteral("250")),
             "the locale should show the amount in its own digits");

    RepondeurBoites boites(QMessageBox::Yes);
    virer(session);
    QTRY_COMPARE_WITH_TIMEOUT(session.serveur.requetes.size(), 2, attente);
    QCOMPARE(session.serveur.requetes.last(), demande(autreCompte, "250"));
}

void TstVirement::sansConnexion_data()
{
    QTest::addColumn<bool>("soldeRecu"); // a balance came from an earlier connection
    QTest::addColumn<int>("etat");       // the socket's state when the transfer is asked

    QTest::newRow("disconnected") << true << int(QAbstractSocket::UnconnectedState);
    QTest::newRow("still connecting") << true << int(QAbstractSocket::ConnectingState);
    // The label still shows "- - - - - -", which the balance check would read as 0.
    QTest::newRow("never connected") << false << int(QAbstractSocket::UnconnectedState);
    QTest::newRow("connected, no answer yet") << false << int(QAbstractSocket::ConnectedState);
}

// A transfer confirmed without a connection, or before any balance came,
// cannot go out: the user is told, whatever the amount.
void TstVirement::sansConnexion()
{
    QFETCH(bool, soldeRecu);
    QFETCH(int, etat);

    SessionBoucle session;
    QTcpSocket *socket = socketFenetre(session.fenetre);
    PortSature sature;
    if (soldeRecu) {
        QVERIFY(session.connecter());
        QVERIFY(recevoirSolde(session, QStringLiteral("1500")));
    }
    if (etat == QAbstractSocket::ConnectingState) {
        QVERIFY(sature.port != 0);
        connecterFenetre(session.fenetre, sature.port);
    } else if (etat == QAbstractSocket::ConnectedState) {
        QVERIFY(session.connecter());
    } else if (soldeRecu) {
        session.serveur.client->disconnectFromHost();
    }
    QTRY_COMPARE_WITH_TIMEOUT(int(socket->state()), etat, attente);
    const QString soldeAvant = solde(session)->text();
    const int requetesAvant = session.serveur.requetes.size();
    const QStringList journalAvant = lignesJournal(session.fenetre);
    destinataire(session)->setText(autreCompte);
    montant(session)->setValue(250);

    RepondeurBoites boites(QMessageBox::Yes);
    virer(session);

    QCOMPARE(socket->bytesToWrite(), qint64(0));
    QCOMPARE(boites.vues.size(), 1);
    QCOMPARE(lignesJournal(session.fenetre),
             journalAvant + QStringList(QStringLiteral("ERROR : the transfer was not sent: you are not connected "
                                                       "to the server.")));
    // Emphasised, as the client's other notices.
    QTextEdit *journal = session.fenetre.findChild<QTextEdit *>(QStringLiteral("listeMessages"));
    QVERIFY(journal->document()->lastBlock().begin().fragment().charFormat().fontItalic());
    QCOMPARE(session.serveur.requetes.size(), requetesAvant);
    QCOMPARE(solde(session)->text(), soldeAvant);
}

QTEST_MAIN(TstVirement)
#include "tst_virement.moc"
