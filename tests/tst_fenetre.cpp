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
    void deuxFenetresMemeCle();
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
    QCOMPARE(enfant<QTextEdit>(&fenetre, "historique")->toPlainText(), affiche);
    QCOMPARE(contenu(compte + ".log"), fichier);
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
