// A whole session against a loopback server that plays its part: connect, get
// the balance, send money, receive money; then the history file, and what the
// next start shows of it.

#include "outils.h"

#include "identity/compte.h"

#include <QLabel>
#include <QRegularExpression>
#include <QtTest>

namespace {

const int attente = 10000;
const QString destinataire = QStringLiteral("1F2E3D4C5B6A");
const QString expediteur = QStringLiteral("0A1B2C3D4E5F");

// The size on the wire of a request of n units: scrambled to 4n units, framed.
int tailleTrame(const QString &requete)
{
    return 6 + 2 * 4 * requete.size();
}

} // namespace

class TstSession : public QObject
{
    Q_OBJECT

private slots:
    void sessionComplete();
};

void TstSession::sessionComplete()
{
    SessionBoucle session;
    ServeurBoucle &serveur = session.serveur;
    FenClient &fenetre = session.fenetre;
    auto *solde = fenetre.findChild<QLabel *>(QStringLiteral("solde"));
    const QString compte = identifiantCompte();
    const QString cle = lireFichierTexte(compte + QStringLiteral(".key"));

    // The server's side: a balance for the credentials, the confirmation for a transfer.
    serveur.surRequete = [&](const QString &requete) {
        if (requete.startsWith(QLatin1String("c:")))
            serveur.envoyer(trameReponse(QStringLiteral("m:1500")));
        else if (requete.startsWith(QLatin1String("v:")))
            serveur.envoyer(trameReponse(QStringLiteral("s:") + destinataire + QStringLiteral(":40")));
    };

    QVERIFY(session.connecter());
    QTRY_COMPARE_WITH_TIMEOUT(solde->text(), QStringLiteral("1500"), attente);

    fenetre.findChild<QLineEdit *>(QStringLiteral("destinataire"))->setText(destinataire);
    fenetre.findChild<QSpinBox *>(QStringLiteral("montant"))->setValue(40);
    RepondeurBoites boites(QMessageBox::Yes);
    fenetre.findChild<QAbstractButton *>(QStringLiteral("boutonEnvoiArgent"))->click();
    QTRY_COMPARE_WITH_TIMEOUT(solde->text(), QStringLiteral("1460"), attente);

    const QString virement = QStringLiteral("v:") + compte + QLatin1Char(':') + destinataire
        + QStringLiteral(":40:") + cle + QStringLiteral(":vers101");
    QCOMPARE(serveur.requetes,
             QStringList({QStringLiteral("c:") + compte + QLatin1Char(':') + cle + QStringLiteral(":vers101"),
                          virement}));
    QCOMPARE(serveur.brut.size(), tailleTrame(serveur.requetes.at(0)) + tailleTrame(virement));

    // Money from another account, pushed by the server unasked.
    serveur.envoyer(trameReponse(QStringLiteral("r:250:") + expediteur));
    QTRY_COMPARE_WITH_TIMEOUT(solde->text(), QStringLiteral("1710"), attente);

    QCOMPARE(lignesJournal(fenetre),
             QStringList({QStringLiteral("Connection attempt in progress..."),
                          QStringLiteral("Successful connection !"),
                          QStringLiteral("Welcome, your balance is 1500 qovi$"),
                          QStringLiteral("The transfer of 40 qovi$ to ") + destinataire + QStringLiteral(" is made"),
                          expediteur + QStringLiteral("  has sent you an amount of 250 qovi$")}));
    QCOMPARE(boites.vues.size(), 1);
    QCOMPARE(boites.vues.first().titre, QStringLiteral("CONFIRMATION"));

    const QString historique = lireFichierTexte(compte + QStringLiteral(".log"));
    const QRegularExpression attendu(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d-sent-40-to-") + destinataire
        + QStringLiteral("\\n\\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d-received-250-from-") + expediteur
        + QStringLiteral("\\n$"));
    QVERIFY2(attendu.match(historique).hasMatch(), qPrintable(historique));

    // The next start in this folder: the same key goes out, and the history tab shows the file.
    FenClient suivante;
    QTRY_COMPARE_WITH_TIMEOUT(suivante.findChild<QTextEdit *>(QStringLiteral("historique"))->toPlainText().trimmed(),
                              historique.trimmed(), attente);
    connecterFenetre(suivante, serveur.port());
    QTRY_COMPARE_WITH_TIMEOUT(serveur.requetes.size(), 3, attente);
    QCOMPARE(serveur.requetes.at(2), serveur.requetes.at(0));
}

QTEST_MAIN(TstSession)
#include "tst_session.moc"
