// The real client window against the real server: two accounts are created,
// money enters through the admin command, one account sends to the other
// while both are connected, and each keeps its own history.

#include "outils.h"
#include "serveurdetest.h"

#include <QLabel>
#include <QtTest>

namespace {

const int attente = 30000;

QLabel *etiquette(const FenClient &fenetre, const char *nom)
{
    return fenetre.findChild<QLabel *>(QLatin1String(nom));
}

QString creation(const QString &compte)
{
    return QStringLiteral("Welcome, your account has just been created; your account number is : ") + compte;
}

} // namespace

class TstBoutEnBout : public QObject
{
    Q_OBJECT

private slots:
    void virementEntreDeuxClients_data() { lignesBases(); }
    void virementEntreDeuxClients();
};

void TstBoutEnBout::virementEntreDeuxClients()
{
    QFETCH(QString, genreBase);
    if (genreBase == QLatin1String("postgresql") && adressePostgresDeTest().isEmpty())
        QSKIP(sansPostgres);
    BaseDeTest base(genreBase);
    QVERIFY(base.estPrete());
    ProcessusServeur serveur(base.url);
    QVERIFY(serveur.demarrer());

    DossierTemporaire dossier;
    RepondeurBoites boites(QMessageBox::Yes);

    // The first window is this machine's account.
    FenClient envoyeur;
    const QString compteEnvoyeur = etiquette(envoyeur, "compte")->text();
    connecterFenetre(envoyeur, serveur.port);
    QTRY_VERIFY_WITH_TIMEOUT(lignesJournal(envoyeur).contains(creation(compteEnvoyeur)), attente);
    QCOMPARE(etiquette(envoyeur, "solde")->text(), QStringLiteral("0"));

    // Money enters through the administrator; the client sees it on its next login.
    const ResultatCommande credit = lancerCommande(
        {QStringLiteral("credit"), compteEnvoyeur, QStringLiteral("1000"), QStringLiteral("--database"), base.url});
    QVERIFY2(credit.code == 0, qPrintable(credit.erreurs));
    connecterFenetre(envoyeur, serveur.port);
    QTRY_COMPARE_WITH_TIMEOUT(etiquette(envoyeur, "solde")->text(), QStringLiteral("1000"), attente);

    // The second window speaks for another account: the credentials carry
    // whatever account number the window shows.
    const QString compteDestinataire = compteEnvoyeur == QLatin1String("0A0B0C0D0E0F") ? QStringLiteral("0A0B0C0D0E1F")
                                                                                       : QStringLiteral("0A0B0C0D0E0F");
    FenClient destinataire;
    etiquette(destinataire, "compte")->setText(compteDestinataire);
    connecterFenetre(destinataire, serveur.port);
    QTRY_VERIFY_WITH_TIMEOUT(lignesJournal(destinataire).contains(creation(compteDestinataire)), attente);

    envoyeur.findChild<QLineEdit *>(QStringLiteral("destinataire"))->setText(compteDestinataire);
    envoyeur.findChild<QSpinBox *>(QStringLiteral("montant"))->setValue(250);
    envoyeur.findChild<QAbstractButton *>(QStringLiteral("boutonEnvoiArgent"))->click();

    QTRY_COMPARE_WITH_TIMEOUT(etiquette(envoyeur, "solde")->text(), QStringLiteral("750"), attente);
    QCOMPARE(lignesJournal(envoyeur).last(),
             QStringLiteral("The transfer of 250 qovi$ to ") + compteDestinataire + QStringLiteral(" is made"));
    QTRY_COMPARE_WITH_TIMEOUT(etiquette(destinataire, "solde")->text(), QStringLiteral("250"), attente);
    QCOMPARE(lignesJournal(destinataire).last(),
             compteEnvoyeur + QStringLiteral("  has sent you an amount of 250 qovi$"));

    // Each account's history holds its creation and its side of the transfer.
    const QStringList histoireEnvoyeur = lireFichierTexte(compteEnvoyeur + QStringLiteral(".log")).split('\n');
    const QStringList histoireDestinataire = lireFichierTexte(compteDestinataire + QStringLiteral(".log")).split('\n');
    QCOMPARE(histoireEnvoyeur.size(), 3);
    QVERIFY(histoireEnvoyeur.at(0).endsWith(QStringLiteral("-account creation-") + compteEnvoyeur));
    QVERIFY(histoireEnvoyeur.at(1).endsWith(QStringLiteral("-sent-250-to-") + compteDestinataire));
    QCOMPARE(histoireDestinataire.size(), 3);
    QVERIFY(histoireDestinataire.at(0).endsWith(QStringLiteral("-account creation-") + compteDestinataire));
    QVERIFY(histoireDestinataire.at(1).endsWith(QStringLiteral("-received-250-from-") + compteEnvoyeur));

    // The server's books agree with both windows.
    const ResultatCommande comptes = lancerCommande({QStringLiteral("accounts"), QStringLiteral("--database"), base.url});
    QCOMPARE(comptes.code, 0);
    QVERIFY2(QRegularExpression(compteEnvoyeur + QStringLiteral("\\s+750\\b")).match(comptes.sortie).hasMatch(),
             qPrintable(comptes.sortie));
    QVERIFY2(QRegularExpression(compteDestinataire + QStringLiteral("\\s+250\\b")).match(comptes.sortie).hasMatch(),
             qPrintable(comptes.sortie));
    QVERIFY(serveur.arreter());
}

QTEST_MAIN(TstBoutEnBout)
#include "tst_boutenbout.moc"
