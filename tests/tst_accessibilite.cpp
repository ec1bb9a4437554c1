// What the window offers beside its form to keyboard and screen-reader users:
// names and descriptions read out, tooltips, the tab order, Enter in a field,
// the first focus and the account number that can be copied.

#include "outils.h"

#include "identity/compte.h"

#include <QAccessible>
#include <QClipboard>
#include <QLabel>
#include <QTabWidget>
#include <QtTest>

namespace {

QWidget *widget(FenClient &fenetre, const char *nom)
{
    return fenetre.findChild<QWidget *>(QLatin1String(nom));
}

QString texteAccessible(QWidget *cible, QAccessible::Text quoi)
{
    QAccessibleInterface *interface = QAccessible::queryAccessibleInterface(cible);
    return interface ? interface->text(quoi) : QStringLiteral("<no accessible interface>");
}

// The object names that Tab walks through from the current focus, for n presses.
QStringList parcoursTab(int pressions)
{
    QStringList vus;
    for (int i = 0; i < pressions; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        vus.append(QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString());
    }
    return vus;
}

} // namespace

class TstAccessibilite : public QObject
{
    Q_OBJECT

private slots:
    void nomsLus_data();
    void nomsLus();
    void compteEtSoldeLusAvecLeurValeur();
    void premierFocusEtOrdreTab_data();
    void premierFocusEtOrdreTab();
    void entreeConnecte_data();
    void entreeConnecte();
    void entreeDemandeLeVirement_data();
    void entreeDemandeLeVirement();
    void compteCopiable();
    void compteAtteintAuClavier_data();
    void compteAtteintAuClavier();
};

void TstAccessibilite::nomsLus_data()
{
    QTest::addColumn<QString>("nom");
    QTest::addColumn<QString>("nomLu");
    QTest::addColumn<bool>("infobulle");

    QTest::newRow("server address") << "serveurIP" << "Server address" << true;
    QTest::newRow("server port") << "serveurPort" << "Server port" << true;
    QTest::newRow("recipient") << "destinataire" << "Recipient account number" << true;
    QTest::newRow("amount") << "montant" << "Amount" << true;
    QTest::newRow("log") << "listeMessages" << "Message log" << false;
    QTest::newRow("history") << "historique" << "History of the last session" << false;
    QTest::newRow("connect button") << "boutonConnexion" << "Connection" << true;
    QTest::newRow("transfer button") << "boutonEnvoiArgent" << "Transfer >>" << true;
}

// Every field is read out with a name and a description, whatever it holds.
void TstAccessibilite::nomsLus()
{
    QFETCH(QString, nom);
    QFETCH(QString, nomLu);
    QFETCH(bool, infobulle);

    DossierTemporaire dossier;
    FenClient fenetre;
    QWidget *cible = widget(fenetre, qPrintable(nom));
    QVERIFY(cible);
    QCOMPARE(texteAccessible(cible, QAccessible::Name), nomLu);
    if (cible->inherits("QAbstractButton"))
        return; // its text says what it does
    QVERIFY(!texteAccessible(cible, QAccessible::Description).isEmpty());
    QCOMPARE(!cible->toolTip().isEmpty(), infobulle);
}

// The two labels of the top row are read as what they show, and described.
void TstAccessibilite::compteEtSoldeLusAvecLeurValeur()
{
    SessionBoucle session;
    QWidget *compte = widget(session.fenetre, "compte");
    QWidget *solde = widget(session.fenetre, "solde");
    QCOMPARE(texteAccessible(compte, QAccessible::Name), identifiantCompte());
    QVERIFY(texteAccessible(compte, QAccessible::Description).contains(QStringLiteral("number")));
    QVERIFY(texteAccessible(solde, QAccessible::Description).contains(QStringLiteral("balance")));

    QVERIFY(session.connecter());
    session.serveur.envoyer(trameReponse(QStringLiteral("m:1500")));
    QTRY_COMPARE_WITH_TIMEOUT(texteAccessible(solde, QAccessible::Name), QStringLiteral("1500"), 10000);
}

void TstAccessibilite::premierFocusEtOrdreTab_data()
{
    QTest::addColumn<int>("onglet");
    QTest::addColumn<QStringList>("parcours");

    // Top to bottom: the account number, the log, the tabs, then the current
    // tab's fields and its button; hidden pages are skipped. The tab widget
    // takes the focus through its tab bar.
    const QString onglets = QStringLiteral("qt_tabwidget_tabbar");
    QTest::newRow("connection") << 0
                                << QStringList{onglets, "serveurIP", "serveurPort", "boutonConnexion", "compte",
                                               "listeMessages"};
    QTest::newRow("transfer") << 1
                              << QStringList{onglets, "destinataire", "montant", "boutonEnvoiArgent", "compte",
                                             "listeMessages"};
    QTest::newRow("history") << 2 << QStringList{onglets, "historique", "compte", "listeMessages"};
}

void TstAccessibilite::premierFocusEtOrdreTab()
{
    QFETCH(int, onglet);
    QFETCH(QStringList, parcours);

    DossierTemporaire dossier;
    FenClient fenetre;
    fenetre.show();
    QVERIFY(QTest::qWaitForWindowActive(&fenetre));
    // The window opens ready to connect, not in the read-only log.
    QCOMPARE(QApplication::focusWidget(), widget(fenetre, "serveurIP"));

    fenetre.findChild<QTabWidget *>(QStringLiteral("tabWidget"))->setCurrentIndex(onglet);
    widget(fenetre, "listeMessages")->setFocus();
    QCOMPARE(parcoursTab(parcours.size()), parcours);
}

void TstAccessibilite::entreeConnecte_data()
{
    QTest::addColumn<QString>("champ");
    QTest::addColumn<int>("touche");

    QTest::newRow("address, Return") << "serveurIP" << int(Qt::Key_Return);
    QTest::newRow("address, keypad Enter") << "serveurIP" << int(Qt::Key_Enter);
    QTest::newRow("port, Return") << "serveurPort" << int(Qt::Key_Return);
}

// Enter in a field of the connection tab connects, to the port as typed.
void TstAccessibilite::entreeConnecte()
{
    QFETCH(QString, champ);
    QFETCH(int, touche);

    DossierTemporaire dossier;
    ServeurBoucle serveur;
    FenClient fenetre;
    auto *port = fenetre.findChild<QSpinBox *>(QStringLiteral("serveurPort"));
    port->selectAll();
    QTest::keyClicks(port, QString::number(serveur.port()));

    // A second Enter while the attempt is under way finds the button disabled.
    QTest::keyClick(widget(fenetre, qPrintable(champ)), Qt::Key(touche));
    QTest::keyClick(widget(fenetre, qPrintable(champ)), Qt::Key(touche));
    QCOMPARE(lignesJournal(fenetre), QStringList{tentative});
    QTRY_COMPARE_WITH_TIMEOUT(serveur.requetes.size(), 1, 10000);
    QCOMPARE(serveur.connexions, 1);
    QCOMPARE(lignesJournal(fenetre), QStringList({tentative, reussite}));
}

void TstAccessibilite::entreeDemandeLeVirement_data()
{
    QTest::addColumn<QString>("champ");
    QTest::newRow("recipient") << "destinataire";
    QTest::newRow("amount") << "montant";
}

// Enter in a field of the transfer tab asks the transfer's question, with the
// amount as typed.
void TstAccessibilite::entreeDemandeLeVirement()
{
    QFETCH(QString, champ);

    DossierTemporaire dossier;
    FenClient fenetre;
    QTest::keyClicks(widget(fenetre, "destinataire"), QStringLiteral("00AABBCCDDEE"));
    auto *montant = fenetre.findChild<QSpinBox *>(QStringLiteral("montant"));
    montant->selectAll();
    QTest::keyClicks(montant, QStringLiteral("250"));

    RepondeurBoites repondeur(QMessageBox::No);
    QTest::keyClick(widget(fenetre, qPrintable(champ)), Qt::Key_Return);
    QCOMPARE(repondeur.vues.size(), 1);
    QCOMPARE(repondeur.vues.first().titre, QStringLiteral("CONFIRMATION"));
    QCOMPARE(repondeur.vues.first().texte,
             QStringLiteral("Would you like to make a transfer of 250 to 00AABBCCDDEE?"));
}

void TstAccessibilite::compteCopiable()
{
    DossierTemporaire dossier;
    FenClient fenetre;
    auto *compte = fenetre.findChild<QLabel *>(QStringLiteral("compte"));
    QVERIFY(compte->textInteractionFlags() & Qt::TextSelectableByMouse);
    QVERIFY(compte->textInteractionFlags() & Qt::TextSelectableByKeyboard);

    QApplication::clipboard()->clear();
    compte->setSelection(0, compte->text().size());
    QTest::keyClick(compte, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), identifiantCompte());
}

void TstAccessibilite::compteAtteintAuClavier_data()
{
    QTest::addColumn<QString>("depart");
    QTest::addColumn<int>("touche");

    QTest::newRow("Tab from the connect button") << "boutonConnexion" << int(Qt::Key_Tab);
    QTest::newRow("Shift+Tab from the log") << "listeMessages" << int(Qt::Key_Backtab);
}

// A keyboard-only user reaches the account number and copies it at once; it
// stays read-only and is read out as before.
void TstAccessibilite::compteAtteintAuClavier()
{
    QFETCH(QString, depart);
    QFETCH(int, touche);

    DossierTemporaire dossier;
    FenClient fenetre;
    fenetre.show();
    QVERIFY(QTest::qWaitForWindowActive(&fenetre));
    auto *compte = fenetre.findChild<QLabel *>(QStringLiteral("compte"));
    const QString numero = identifiantCompte();
    const QRect place = compte->geometry();

    widget(fenetre, qPrintable(depart))->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(touche));
    QCOMPARE(QApplication::focusWidget(), compte);
    QCOMPARE(compte->selectedText(), numero);

    QApplication::clipboard()->clear();
    QTest::keyClick(compte, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), numero);
    QTest::keyClick(compte, Qt::Key_X);
    QTest::keyClick(compte, Qt::Key_Delete);
    QCOMPARE(compte->text(), numero);
    QCOMPARE(compte->geometry(), place);
    QCOMPARE(texteAccessible(compte, QAccessible::Name), numero);
    QVERIFY(texteAccessible(compte, QAccessible::Description).contains(QStringLiteral("number")));
}

QTEST_MAIN(TstAccessibilite)
#include "tst_accessibilite.moc"
