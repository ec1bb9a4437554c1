// Bursts of replies: the window takes them in a slice at a time, so every
// reply must still have its whole effect, in order, whatever the slicing, and
// the log must be laid out and scrolled as if each line had come on its own.

#include "outils.h"

#include "history/historique.h"
#include "window/fenclient.h"

#include <QLabel>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

namespace {

const int attente = 20000;
const QString expediteur = QStringLiteral("0A1B2C3D4E5F");

QString ligneRecu(int montant)
{
    return expediteur + QStringLiteral("  has sent you an amount of ") + QString::number(montant)
        + QStringLiteral(" qovi$");
}

// A shown window, connecting to its loopback server.
struct Session : SessionBoucle
{
    Session()
    {
        fenetre.show();
        connecterFenetre(fenetre, serveur.port());
    }

    bool connectee() const { return serveur.client && serveur.requetes.size() == 1; }
};

} // namespace

class TstFlot : public QObject
{
    Q_OBJECT

private slots:
    void rafale_data();
    void rafale();
    void boiteAuMilieuDuneRafale();
};

void TstFlot::rafale_data()
{
    QTest::addColumn<int>("avant");
    QTest::addColumn<int>("longueurInformation");
    QTest::addColumn<int>("apres");

    QTest::newRow("3000 replies in one write") << 3000 << 0 << 0;
    // The longest text a frame holds, far more than the window takes in at once.
    QTest::newRow("longest frame between small ones") << 200 << tailleMaxTexteTrame / 4 - 2 << 200;
    QTest::newRow("longest frame first") << 0 << tailleMaxTexteTrame / 4 - 2 << 50;
}

void TstFlot::rafale()
{
    QFETCH(int, avant);
    QFETCH(int, longueurInformation);
    QFETCH(int, apres);

    Session session;
    QTRY_VERIFY_WITH_TIMEOUT(session.connectee(), attente);
    const int lignesAvant = lignesJournal(session.fenetre).size();

    const QString information(longueurInformation, QLatin1Char('x'));
    const QByteArray trameInformation = trameReponse(QStringLiteral("i:") + information);
    QVERIFY(longueurInformation == 0 || !trameInformation.isEmpty());

    QByteArray flot;
    QStringList attendues;
    int montant = 0;
    for (int i = 0; i <= avant + apres; ++i) {
        if (i == avant && longueurInformation > 0) {
            flot += trameInformation;
            attendues << information;
        }
        if (i == 0)
            continue;
        flot += trameReponse(QStringLiteral("r:%1:").arg(i) + expediteur);
        attendues << ligneRecu(i);
        montant += i;
    }
    session.serveur.envoyer(flot);

    QTRY_COMPARE_WITH_TIMEOUT(session.solde(), QString::number(montant), attente);
    QCOMPARE(lignesJournal(session.fenetre).mid(lignesAvant), attendues);
    QCOMPARE(lireHistorique(session.compte()).count(QStringLiteral("-received-")), avant + apres);
    QCOMPARE(session.fenetre.findChild<QTcpSocket *>()->bytesAvailable(), 0);

    // The log follows its end and every line is laid out.
    QScrollBar *defilement = session.journal()->verticalScrollBar();
    QCOMPARE(defilement->value(), defilement->maximum());
    QVERIFY(session.journal()->document()->lastBlock().layout()->lineCount() > 0);
}

// The account-creation box opens amid a burst: the log behind it must already
// show, laid out, every line up to the creation notice; the replies after it
// are handled once it is closed.
void TstFlot::boiteAuMilieuDuneRafale()
{
    Session session;
    QTRY_VERIFY_WITH_TIMEOUT(session.connectee(), attente);

    QByteArray flot;
    for (int i = 1; i <= 100; ++i)
        flot += trameReponse(QStringLiteral("r:1:") + expediteur);
    flot += trameReponse(QStringLiteral("n:") + session.compte());
    for (int i = 1; i <= 100; ++i)
        flot += trameReponse(QStringLiteral("r:1:") + expediteur);

    QString derniereLigneDerriere;
    int lignesEnPageDerriere = -1;
    RepondeurBoites boites;
    BoiteTenueOuverte tenue(boites,
                            {{}, {}, [&] {
                                 const QTextBlock derniere = session.journal()->document()->lastBlock();
                                 derniereLigneDerriere = derniere.text();
                                 lignesEnPageDerriere = derniere.layout()->lineCount();
                             }},
                            attente);
    session.serveur.envoyer(flot);

    QTRY_COMPARE_WITH_TIMEOUT(session.solde(), QStringLiteral("100"), attente);
    QCOMPARE(boites.vues.size(), 1);
    QVERIFY(derniereLigneDerriere.startsWith(
        QStringLiteral("Welcome, your account has just been created; your account number is : ")));
    QVERIFY(lignesEnPageDerriere > 0);
    const QStringList historique = lireHistorique(session.compte()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(historique.size(), 201);
    QVERIFY(historique.at(100).endsWith(QStringLiteral("-account creation-") + session.compte()));
}

QTEST_MAIN(TstFlot)
#include "tst_flot.moc"
