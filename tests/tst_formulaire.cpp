#include "outils.h"
#include "window/fenclient.h" // brings the form class, Ui::FenClient

#include <QtTest>

namespace {

struct Objet
{
    const char *nom;
    const char *classe;
    const char *parent; // the tab pages' parent is the tab widget they belong to
    const char *place;  // "<layout> <index>" or "<layout> <row>,<column>", "page <n>", "layout of <widget>"
    QRect geometrie;    // only for the widgets placed at fixed positions
    const char *texte;  // nullptr: no text of its own
};

// Every object of the form, in the order of its creation.
const Objet objetsDuFormulaire[] = {
    {"verticalLayout_2", "QVBoxLayout", "FenClient", "layout of FenClient", {}, nullptr},
    {"horizontalLayout", "QHBoxLayout", "verticalLayout_2", "verticalLayout_2 0", {}, nullptr},
    {"label_6", "QLabel", "FenClient", "horizontalLayout 0", {}, "Account number"},
    {"compte", "QLabel", "FenClient", "horizontalLayout 1", {}, "xxxxxxxxxxxx"},
    {"label_9", "QLabel", "FenClient", "horizontalLayout 2", {}, "Current balance"},
    {"verticalLayout", "QVBoxLayout", "horizontalLayout", "horizontalLayout 3", {}, nullptr},
    {"solde", "QLabel", "FenClient", "verticalLayout 0", {}, "- - - - - -"},
    {"listeMessages", "QTextEdit", "FenClient", "verticalLayout_2 1", {}, ""},
    {"horizontalLayout_2", "QHBoxLayout", "verticalLayout_2", "verticalLayout_2 2", {}, nullptr},
    {"tabWidget", "QTabWidget", "FenClient", "horizontalLayout_2 0", {}, nullptr},
    {"tab", "QWidget", "tabWidget", "page 0", {}, nullptr},
    {"gridLayoutWidget_3", "QWidget", "tab", "", {100, 20, 241, 141}, nullptr},
    {"gridLayout_3", "QGridLayout", "gridLayoutWidget_3", "layout of gridLayoutWidget_3", {}, nullptr},
    {"label", "QLabel", "gridLayoutWidget_3", "gridLayout_3 0,0", {}, "Server ip :"},
    {"serveurIP", "QLineEdit", "gridLayoutWidget_3", "gridLayout_3 0,1", {}, "127.0.0.1"},
    {"serveurPort", "QSpinBox", "gridLayoutWidget_3", "gridLayout_3 1,1", {}, "50885"},
    {"label_2", "QLabel", "gridLayoutWidget_3", "gridLayout_3 1,0", {}, "Server port :"},
    {"boutonConnexion", "QPushButton", "gridLayoutWidget_3", "gridLayout_3 2,1", {}, "Connection"},
    {"tab_2", "QWidget", "tabWidget", "page 1", {}, nullptr},
    {"gridLayoutWidget", "QWidget", "tab_2", "", {20, 9, 421, 161}, nullptr},
    {"gridLayout", "QGridLayout", "gridLayoutWidget", "layout of gridLayoutWidget", {}, nullptr},
    {"destinataire", "QLineEdit", "gridLayoutWidget", "gridLayout 0,1", {}, ""},
    {"label_8", "QLabel", "gridLayoutWidget", "gridLayout 0,0", {}, "Recipient account number"},
    {"label_7", "QLabel", "gridLayoutWidget", "gridLayout 1,0", {}, "Amount"},
    {"boutonEnvoiArgent", "QPushButton", "gridLayoutWidget", "gridLayout 2,1", {}, "Transfer >>"},
    {"montant", "QSpinBox", "gridLayoutWidget", "gridLayout 1,1", {}, "0"},
    {"tab_4", "QWidget", "tabWidget", "page 2", {}, nullptr},
    {"historique", "QTextEdit", "tab_4", "", {50, 20, 501, 121}, ""},
    {"tab_3", "QWidget", "tabWidget", "page 3", {}, nullptr},
    {"label_3", "QLabel", "tab_3", "", {160, 40, 281, 81}, "Version 1.01   2017"},
};

// The parent as the form describes it: a tab page belongs to its tab widget.
QString parentDe(const QObject *objet)
{
    const QObject *parent = objet->parent();
    if (parent && parent->objectName() == QLatin1String("qt_tabwidget_stackedwidget"))
        parent = parent->parent();
    return parent ? parent->objectName() : QString();
}

QString placeDe(QObject *objet, QWidget *fenetre)
{
    auto *onglets = fenetre->findChild<QTabWidget *>(QStringLiteral("tabWidget"));
    auto *widget = qobject_cast<QWidget *>(objet);
    if (widget && onglets->indexOf(widget) >= 0)
        return QStringLiteral("page %1").arg(onglets->indexOf(widget));
    auto *disposition = qobject_cast<QLayout *>(objet);
    if (disposition && disposition->parent() == disposition->parentWidget()
        && disposition->parentWidget()->layout() == disposition)
        return QStringLiteral("layout of ") + disposition->parentWidget()->objectName();

    const auto dispositions = fenetre->findChildren<QLayout *>();
    for (QLayout *contenant : dispositions) {
        const int indice = widget ? contenant->indexOf(widget) : contenant->indexOf(disposition);
        if (indice < 0)
            continue;
        if (auto *grille = qobject_cast<QGridLayout *>(contenant)) {
            int ligne, colonne, lignes, colonnes;
            grille->getItemPosition(indice, &ligne, &colonne, &lignes, &colonnes);
            if (lignes != 1 || colonnes != 1)
                return QStringLiteral("spans several cells");
            return QStringLiteral("%1 %2,%3").arg(contenant->objectName()).arg(ligne).arg(colonne);
        }
        return QStringLiteral("%1 %2").arg(contenant->objectName()).arg(indice);
    }
    return QString();
}

QString texteDe(const QObject *objet)
{
    if (auto *vue = qobject_cast<const QTextEdit *>(objet))
        return vue->toPlainText();
    if (auto *boite = qobject_cast<const QSpinBox *>(objet))
        return QString::number(boite->value()); // the edit shows it only once visible
    return objet->property("text").toString();
}

} // namespace

class TstFormulaire : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void objets_data();
    void objets();
    void ordreDeCreation();
    void fenetre_data();
    void fenetre();
    void proprietes();
    void saisieDesNombres_data();
    void saisieDesNombres();
    void destinataireDouzeCaracteres();
    void seulHistoriqueAccepteLaSaisie();
    void boutonsReliesAuxSlots();

private:
    QString dossierInitial;
    QScopedPointer<QTemporaryDir> dossier;
    QScopedPointer<QWidget> fenetreNue;
    Ui::FenClient forme;
};

// Every test gets a fresh form, and a fresh working directory for the real
// window's key file.
void TstFormulaire::init()
{
    dossierInitial = QDir::currentPath();
    dossier.reset(new QTemporaryDir);
    QVERIFY(dossier->isValid());
    QVERIFY(QDir::setCurrent(dossier->path()));
    fenetreNue.reset(new QWidget);
    forme.setupUi(fenetreNue.data());
}

void TstFormulaire::cleanup()
{
    fenetreNue.reset();
    QDir::setCurrent(dossierInitial);
    dossier.reset();
}

void TstFormulaire::objets_data()
{
    QTest::addColumn<int>("indice");
    for (int i = 0; i < int(std::size(objetsDuFormulaire)); ++i)
        QTest::newRow(objetsDuFormulaire[i].nom) << i;
}

void TstFormulaire::objets()
{
    QFETCH(int, indice);
    const Objet &attendu = objetsDuFormulaire[indice];
    const QHash<QString, QObject *> membres = {
        {"verticalLayout_2", forme.verticalLayout_2}, {"horizontalLayout", forme.horizontalLayout},
        {"label_6", forme.label_6}, {"compte", forme.compte}, {"label_9", forme.label_9},
        {"verticalLayout", forme.verticalLayout}, {"solde", forme.solde}, {"listeMessages", forme.listeMessages},
        {"horizontalLayout_2", forme.horizontalLayout_2}, {"tabWidget", forme.tabWidget}, {"tab", forme.tab},
        {"gridLayoutWidget_3", forme.gridLayoutWidget_3}, {"gridLayout_3", forme.gridLayout_3},
        {"label", forme.label}, {"serveurIP", forme.serveurIP}, {"serveurPort", forme.serveurPort},
        {"label_2", forme.label_2}, {"boutonConnexion", forme.boutonConnexion}, {"tab_2", forme.tab_2},
        {"gridLayoutWidget", forme.gridLayoutWidget}, {"gridLayout", forme.gridLayout},
        {"destinataire", forme.destinataire}, {"label_8", forme.label_8}, {"label_7", forme.label_7},
        {"boutonEnvoiArgent", forme.boutonEnvoiArgent}, {"montant", forme.montant}, {"tab_4", forme.tab_4},
        {"historique", forme.historique}, {"tab_3", forme.tab_3}, {"label_3", forme.label_3},
    };

    const QList<QObject *> trouves = fenetreNue->findChildren<QObject *>(QLatin1String(attendu.nom));
    QCOMPARE(trouves.size(), 1);
    QObject *objet = trouves.first();
    QCOMPARE(membres.value(QLatin1String(attendu.nom)), objet);
    QCOMPARE(objet->metaObject()->className(), attendu.classe);
    QCOMPARE(parentDe(objet), QLatin1String(attendu.parent));
    QCOMPARE(placeDe(objet, fenetreNue.data()), QLatin1String(attendu.place));
    if (attendu.geometrie.isValid())
        QCOMPARE(qobject_cast<QWidget *>(objet)->geometry(), attendu.geometrie);
    if (attendu.texte)
        QCOMPARE(texteDe(objet), QString::fromUtf8(attendu.texte));
}

// Children keep the order in which they were created. The tab pages are left
// out: the tab widget raises its current page, which reorders them.
void TstFormulaire::ordreDeCreation()
{
    QHash<QObject *, QStringList> parParent;
    QSet<QString> noms;
    for (const Objet &attendu : objetsDuFormulaire) {
        if (QByteArray(attendu.place).startsWith("page"))
            continue;
        QObject *objet = fenetreNue->findChild<QObject *>(QLatin1String(attendu.nom));
        QVERIFY2(objet, attendu.nom);
        parParent[objet->parent()].append(QLatin1String(attendu.nom));
        noms.insert(QLatin1String(attendu.nom));
    }
    for (auto it = parParent.cbegin(); it != parParent.cend(); ++it) {
        QStringList ordre;
        for (const QObject *enfant : it.key()->children())
            if (noms.contains(enfant->objectName()))
                ordre.append(enfant->objectName());
        QCOMPARE(ordre, it.value());
    }
}

void TstFormulaire::fenetre_data()
{
    QTest::addColumn<bool>("vraieFenetre");
    QTest::newRow("form alone") << false;
    QTest::newRow("FenClient") << true;
}

void TstFormulaire::fenetre()
{
    QFETCH(bool, vraieFenetre);
    QScopedPointer<FenClient> vraie(vraieFenetre ? new FenClient : nullptr);
    QWidget *fenetre = vraieFenetre ? vraie.data() : fenetreNue.data();

    QCOMPARE(fenetre->objectName(), QStringLiteral("FenClient"));
    QCOMPARE(fenetre->size(), QSize(628, 480));
    QCOMPARE(fenetre->windowTitle(), QStringLiteral("QoVi$"));
    QCOMPARE(fenetre->minimumSize(), QSize(0, 0));
    QCOMPARE(fenetre->maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
    auto *onglets = fenetre->findChild<QTabWidget *>(QStringLiteral("tabWidget"));
    QVERIFY(onglets);
    QStringList titres;
    for (int i = 0; i < onglets->count(); ++i)
        titres.append(onglets->tabText(i));
    QCOMPARE(titres, (QStringList{"Connection", "Transfer", "History of the last session", "About"}));
    QCOMPARE(onglets->currentIndex(), 0);
}

void TstFormulaire::proprietes()
{
    QCOMPARE(forme.serveurIP->maximumSize(), QSize(150, 16777215));
    QCOMPARE(forme.serveurPort->minimumSize(), QSize(60, 0));
    QCOMPARE(forme.serveurPort->minimum(), 1);
    QCOMPARE(forme.serveurPort->maximum(), 65535);
    QCOMPARE(forme.serveurPort->value(), 50885);
    QCOMPARE(forme.montant->minimum(), 0);
    QCOMPARE(forme.montant->maximum(), 999999999);
    QCOMPARE(forme.montant->value(), 0);
    QCOMPARE(forme.montant->singleStep(), 1);
    QCOMPARE(forme.destinataire->maxLength(), 12);
    QVERIFY(forme.listeMessages->isReadOnly());
    QVERIFY(!forme.historique->isReadOnly());

    QCOMPARE(forme.solde->font().pointSize(), 11);
    QCOMPARE(forme.solde->font().bold(), false);
    QCOMPARE(forme.solde->font().weight(), int(QFont::Normal));
    QCOMPARE(forme.solde->alignment(), Qt::Alignment(Qt::AlignCenter));
    QCOMPARE(forme.label_3->font().family(), QStringLiteral("Corbel"));
    QCOMPARE(forme.label_3->font().pointSize(), 12);
    QCOMPARE(forme.label_3->textFormat(), Qt::PlainText);

    for (QGridLayout *grille : {forme.gridLayout_3, forme.gridLayout})
        QCOMPARE(grille->contentsMargins(), QMargins(0, 0, 0, 0));
    for (QWidget *page : {forme.tab, forme.tab_2, forme.tab_4, forme.tab_3})
        QVERIFY2(!page->layout(), qPrintable(page->objectName()));
}

void TstFormulaire::saisieDesNombres_data()
{
    QTest::addColumn<QString>("nom");
    QTest::addColumn<QString>("frappe");
    QTest::addColumn<int>("valeur");

    QTest::newRow("port: highest") << "serveurPort" << "65535" << 65535;
    QTest::newRow("port: a digit too many is refused") << "serveurPort" << "65536" << 6553;
    QTest::newRow("port: lowest") << "serveurPort" << "1" << 1;
    QTest::newRow("port: 0 is not kept") << "serveurPort" << "0" << 50885;
    QTest::newRow("port: no sign") << "serveurPort" << "-1" << 1;
    QTest::newRow("amount: highest") << "montant" << "999999999" << 999999999;
    QTest::newRow("amount: a digit too many is refused") << "montant" << "9999999999" << 999999999;
    QTest::newRow("amount: 0") << "montant" << "0" << 0;
    QTest::newRow("amount: no sign") << "montant" << "-5" << 5;
}

void TstFormulaire::saisieDesNombres()
{
    QFETCH(QString, nom);
    QFETCH(QString, frappe);
    QFETCH(int, valeur);
    auto *boite = fenetreNue->findChild<QSpinBox *>(nom);
    QVERIFY(boite);
    if (nom == QLatin1String("montant"))
        boite->setValue(7); // so that a refused 0 would show

    boite->selectAll();
    QTest::keyClicks(boite, frappe);
    QTest::keyClick(boite, Qt::Key_Return);
    QCOMPARE(boite->value(), valeur);
}

void TstFormulaire::destinataireDouzeCaracteres()
{
    QTest::keyClicks(forme.destinataire, QStringLiteral("0A1B2C3D4E5FX"));
    QCOMPARE(forme.destinataire->text(), QStringLiteral("0A1B2C3D4E5F"));
}

void TstFormulaire::seulHistoriqueAccepteLaSaisie()
{
    QTest::keyClicks(forme.listeMessages, QStringLiteral("abc"));
    QTest::keyClicks(forme.historique, QStringLiteral("abc"));
    QCOMPARE(forme.listeMessages->toPlainText(), QString());
    QCOMPARE(forme.historique->toPlainText(), QStringLiteral("abc"));
}

// The buttons reach the window's slots by name.
void TstFormulaire::boutonsReliesAuxSlots()
{
    ServeurBoucle serveur;
    QScopedPointer<FenClient> fenetre(new FenClient);
    auto *boutonConnexion = fenetre->findChild<QPushButton *>(QStringLiteral("boutonConnexion"));
    auto *listeMessages = fenetre->findChild<QTextEdit *>(QStringLiteral("listeMessages"));

    {
        RepondeurBoites repondeur(QMessageBox::No);
        fenetre->findChild<QPushButton *>(QStringLiteral("boutonEnvoiArgent"))->click();
        QCOMPARE(repondeur.vues.size(), 1);
        QCOMPARE(repondeur.vues.first().titre, QStringLiteral("CONFIRMATION"));
        QCOMPARE(repondeur.vues.first().icone, QMessageBox::Question);
    }

    fenetre->findChild<QSpinBox *>(QStringLiteral("serveurPort"))->setValue(serveur.port());
    boutonConnexion->click();
    QVERIFY(!boutonConnexion->isEnabled());
    QVERIFY(listeMessages->toPlainText().contains(QStringLiteral("Connection attempt in progress...")));
    QTRY_COMPARE_WITH_TIMEOUT(serveur.requetes.size(), 1, 10000);
}

QTEST_MAIN(TstFormulaire)
#include "tst_formulaire.moc"
