#include "history/historique.h"
#include "identity/compte.h"
#include "outils.h"
#include "window/fenclient.h"

#include <QNetworkInterface>
#include <QtTest>

#include <memory>

namespace {

QString compteDeLaMachine()
{
    QStringList adresses;
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces)
        adresses.append(interface.hardwareAddress());
    return choisirCompte(adresses);
}

QByteArray contenu(const QString &nom)
{
    QFile fichier(nom);
    return fichier.open(QIODevice::ReadOnly) ? fichier.readAll() : QByteArray("<unreadable>");
}

template <typename T>
T *enfant(QWidget *fenetre, const char *nom)
{
    return fenetre->findChild<T *>(QLatin1String(nom));
}

} // namespace

// The window creates "<account>.key" in the working directory: every test
// runs in a fresh one.
class TstFenetre : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void demarrage();
    void historiqueAuDemarrage_data();
    void historiqueAuDemarrage();
    void longHistorique();
    void deuxFenetresMemeCle();
    void cleIlisible();
    void destructionPendantLaConnexion();

private:
    QString compte;
    std::unique_ptr<DossierTemporaire> dossier;
};

void TstFenetre::initTestCase()
{
    compte = compteDeLaMachine();
    if (compte.isEmpty())
        QSKIP("this machine has no usable hardware address");
}

void TstFenetre::init()
{
    dossier = std::make_unique<DossierTemporaire>();
}

void TstFenetre::cleanup()
{
    dossier.reset();
}

void TstFenetre::demarrage()
{
    FenClient fenetre;

    QCOMPARE(enfant<QLabel>(&fenetre, "compte")->text(), compte);
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9A-F]{12}$")).match(compte).hasMatch(), qPrintable(compte));
    QCOMPARE(enfant<QLabel>(&fenetre, "solde")->text(), QStringLiteral("- - - - - -"));
    QCOMPARE(enfant<QTextEdit>(&fenetre, "listeMessages")->toPlainText(), QString());
    QCOMPARE(enfant<QTextEdit>(&fenetre, "historique")->toPlainText(), QString());
    QVERIFY(QFile::exists(compte + ".key"));
    QVERIFY(!QFile::exists(compte + ".log")); // showing no history creates no file
}

void TstFenetre::historiqueAuDemarrage_data()
{
    QTest::addColumn<QByteArray>("fichier");
    QTest::addColumn<QString>("affiche");

    const QString deuxLignes = QStringLiteral("2016-05-03 14-07-09-account creation-0A1B2C3D4E5F\n"
                                              "2016-05-03 14-12-41-received-250-from-1F2E3D4C5B6A\n");
    QTest::newRow("two records") << deuxLignes.toLatin1() << deuxLignes;
    QTest::newRow("carriage returns dropped")
        << QByteArray("2016-05-03 14-07-09-account creation-0A1B2C3D4E5F\r\n"
                      "2016-05-03 14-12-41-received-250-from-1F2E3D4C5B6A\r\n")
        << deuxLignes;
    // Records hold what a server sent: markup in them is not interpreted.
    const QString balises = QStringLiteral("2016-05-03 14-12-41-received-250-from-<b>x</b>\n"
                                           "2016-05-03 14-15-02-sent-40-to-<i>y</i> &amp;\n");
    QTest::newRow("markup shown as typed") << balises.toLatin1() << balises;
    QTest::newRow("empty file") << QByteArray() << "";
}

void TstFenetre::historiqueAuDemarrage()
{
    QFETCH(QByteArray, fichier);
    QFETCH(QString, affiche);
    {
        QFile journal(compte + ".log");
        QVERIFY(journal.open(QIODevice::WriteOnly));
        QCOMPARE(journal.write(fichier), qint64(fichier.size()));
    }

    FenClient fenetre;
    QTRY_COMPARE_WITH_TIMEOUT(enfant<QTextEdit>(&fenetre, "historique")->toPlainText(), affiche, 10000);
    QCOMPARE(contenu(compte + ".log"), fichier);
}

// A long history does not hold up the start: the window is made before the
// file is read, the history tab fills on the turns of the event loop that
// follow, and in the end it shows the whole file as it was at start.
void TstFenetre::longHistorique()
{
    QByteArray fichier;
    for (int i = 0; i < 100000; ++i)
        fichier += "2016-05-03 14-12-41-received-" + QByteArray::number(i) + "-from-1F2E3D4C5B6A\r\n";
    {
        QFile journal(compte + ".log");
        QVERIFY(journal.open(QIODevice::WriteOnly));
        QCOMPARE(journal.write(fichier), qint64(fichier.size()));
    }
    const QString affiche = QString::fromLatin1(fichier).remove(QLatin1Char('\r'));

    FenClient fenetre;
    QTextEdit *vue = enfant<QTextEdit>(&fenetre, "historique");
    QVERIFY(vue->document()->characterCount() < affiche.size() / 2);
    // Written after the start: shown at the next one only.
    ajouterHistorique(compte, QStringLiteral("-received-5-from-0A1B2C3D4E5F"));
    fenetre.show();
    Battement battement;

    QTRY_VERIFY_WITH_TIMEOUT(vue->document()->characterCount() >= affiche.size(), 60000);
    QCOMPARE(vue->toPlainText(), affiche);
    QVERIFY2(battement.pireEcart() < pireEcartAdmis, battement.rapport());
}

void TstFenetre::deuxFenetresMemeCle()
{
    const QString fichierCle = compte + ".key";
    QScopedPointer<FenClient> premiere(new FenClient);
    const QByteArray cle = contenu(fichierCle);
    QCOMPARE(cle.size(), 20);
    premiere.reset();
    // Back-date the file so that any rewrite would show in its modification time.
    {
        QFile fichier(fichierCle);
        QVERIFY(fichier.open(QIODevice::ReadWrite));
        QVERIFY(fichier.setFileTime(QDateTime::currentDateTime().addDays(-3), QFileDevice::FileModificationTime));
    }
    const QDateTime avant = QFileInfo(fichierCle).lastModified();

    FenClient seconde;
    QCOMPARE(enfant<QLabel>(&seconde, "compte")->text(), compte);
    QCOMPARE(contenu(fichierCle), cle);
    QCOMPARE(QFileInfo(fichierCle).lastModified(), avant);
}

// A key file that is there but cannot be read: the user is told which and
// why, and the run goes on without a key, which the server refuses.
void TstFenetre::cleIlisible()
{
    const QString fichierCle = compte + ".key";
    QVERIFY(QDir().mkdir(fichierCle));
    RepondeurBoites boites;
    FenClient fenetre;

    QCOMPARE(boites.vues.size(), 1);
    QCOMPARE(boites.vues.first().titre, QStringLiteral("Error"));
    QCOMPARE(boites.vues.first().icone, QMessageBox::Critical);
    QVERIFY2(boites.vues.first().texte.contains(QDir(dossier->chemin()).filePath(fichierCle)),
             qPrintable(boites.vues.first().texte));
    QVERIFY(QFileInfo(fichierCle).isDir());

    ServeurBoucle serveur;
    connecterFenetre(fenetre, serveur.port());
    QTRY_COMPARE_WITH_TIMEOUT(serveur.requetes.size(), 1, 10000);
    QCOMPARE(serveur.requetes.first(), "c:" + compte + ":" + ":vers101");
}

// The window's teardown must not let the socket's last notifications reach
// widgets that are already gone (the sanitizer build is what checks it).
void TstFenetre::destructionPendantLaConnexion()
{
    ServeurBoucle serveur;
    QScopedPointer<FenClient> fenetre(new FenClient);
    enfant<QSpinBox>(fenetre.data(), "serveurPort")->setValue(serveur.port());
    enfant<QPushButton>(fenetre.data(), "boutonConnexion")->click();
    QTRY_COMPARE_WITH_TIMEOUT(serveur.requetes.size(), 1, 10000);
    // The credentials carry the key that the key file holds.
    QCOMPARE(serveur.requetes.first(),
             "c:" + compte + ':' + QString::fromLatin1(contenu(compte + ".key")) + ":vers101");

    serveur.envoyer(trameReponse(QStringLiteral("m:1500")));
    fenetre.reset();
    QTRY_VERIFY_WITH_TIMEOUT(!serveur.client || serveur.client->state() == QAbstractSocket::UnconnectedState,
                             10000);
}

QTEST_MAIN(TstFenetre)
#include "tst_fenetre.moc"
