#include "identity/cle.h"

#include "dossiertemporaire.h"

#include <QtTest>

#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString compte = QStringLiteral("0A1B2C3D4E5F");
const QString fichierCle = compte + QStringLiteral(".key");
const QRegularExpression formeCle(QStringLiteral("^([1-9][0-9]{4}){4}$"));

QByteArray contenu(const QString &nom)
{
    QFile fichier(nom);
    return fichier.open(QIODevice::ReadOnly) ? fichier.readAll() : QByteArray("<unreadable>");
}

bool ecrire(const QString &nom, const QByteArray &octets)
{
    QFile fichier(nom);
    return fichier.open(QIODevice::WriteOnly) && fichier.write(octets) == octets.size();
}

} // namespace

// The key file lives in the working directory: every test runs in a fresh one.
class TstCle : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void premierAppelCreeLeFichier();
    void secondAppelRelitSansEcrire();
    void fichierExistantLuTelQuel_data();
    void fichierExistantLuTelQuel();
    void fichierIlisibleRemplace_data();
    void fichierIlisibleRemplace();
    void dossierSansEcriture();
    void groupeCle_data();
    void groupeCle();
    void deuxClesDifferent();

private:
    std::unique_ptr<DossierTemporaire> dossier;
};

void TstCle::init()
{
    dossier = std::make_unique<DossierTemporaire>();
}

void TstCle::cleanup()
{
    dossier.reset();
}

void TstCle::premierAppelCreeLeFichier()
{
    const QString cle = chargerCle(compte);

    QVERIFY2(formeCle.match(cle).hasMatch(), qPrintable(cle));
    QCOMPARE(contenu(fichierCle), cle.toLatin1()); // no line end
    struct stat etat;
    QCOMPARE(stat(QFile::encodeName(fichierCle).constData(), &etat), 0);
    QCOMPARE(etat.st_mode & 0777, mode_t(0600));
    QCOMPARE(QFile::permissions(fichierCle) & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther
                                               | QFile::WriteOther | QFile::ExeOwner),
             QFile::Permissions());
}

void TstCle::secondAppelRelitSansEcrire()
{
    const QString premiere = chargerCle(compte);
    // Back-date the file so that any rewrite would show in its modification time.
    const QDateTime autrefois = QDateTime::currentDateTime().addDays(-3);
    {
        QFile fichier(fichierCle);
        QVERIFY(fichier.open(QIODevice::ReadWrite));
        QVERIFY(fichier.setFileTime(autrefois, QFileDevice::FileModificationTime));
    }
    const QDateTime avant = QFileInfo(fichierCle).lastModified();

    QCOMPARE(chargerCle(compte), premiere);
    QCOMPARE(QFileInfo(fichierCle).lastModified(), avant);
    QCOMPARE(contenu(fichierCle), premiere.toLatin1());
}

void TstCle::fichierExistantLuTelQuel_data()
{
    QTest::addColumn<QByteArray>("octets");
    QTest::addColumn<QString>("cle");

    QTest::newRow("empty file: empty key") << QByteArray() << "";
    QTest::newRow("line feed kept") << QByteArray("12345678901234567890\n") << "12345678901234567890\n";
    QTest::newRow("carriage return dropped") << QByteArray("12345678901234567890\r\n") << "12345678901234567890\n";
    QTest::newRow("other characters") << QByteArray(" abc 12") << " abc 12";
}

void TstCle::fichierExistantLuTelQuel()
{
    QFETCH(QByteArray, octets);
    QFETCH(QString, cle);
    QVERIFY(ecrire(fichierCle, octets));

    QCOMPARE(chargerCle(compte), cle);
    QCOMPARE(contenu(fichierCle), octets);
}

void TstCle::fichierIlisibleRemplace_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("remplace");

    QTest::newRow("write-only: a new key replaces the content") << 0200 << true;
    QTest::newRow("no access: a new key, the file stays as it was") << 0000 << false;
}

void TstCle::fichierIlisibleRemplace()
{
    if (geteuid() == 0)
        QSKIP("permissions do not stop root from reading the file");
    QFETCH(int, mode);
    QFETCH(bool, remplace);
    QVERIFY(ecrire(fichierCle, "ancien"));
    QCOMPARE(chmod(QFile::encodeName(fichierCle).constData(), mode_t(mode)), 0);

    const QString cle = chargerCle(compte);
    QVERIFY2(formeCle.match(cle).hasMatch(), qPrintable(cle));

    QCOMPARE(chmod(QFile::encodeName(fichierCle).constData(), 0600), 0);
    QCOMPARE(contenu(fichierCle), remplace ? cle.toLatin1() : QByteArray("ancien"));
}

void TstCle::dossierSansEcriture()
{
    // A working directory that no longer exists: no file can be created in it,
    // whoever runs the test.
    QTemporaryDir disparu;
    QVERIFY(QDir::setCurrent(disparu.path()));
    QVERIFY(disparu.remove());

    const QString cle = chargerCle(compte);
    QVERIFY2(formeCle.match(cle).hasMatch(), qPrintable(cle));
    QVERIFY(QDir::setCurrent(dossier->chemin()));
}

void TstCle::groupeCle_data()
{
    QTest::addColumn<quint32>("tirage");
    QTest::addColumn<int>("groupe");

    QTest::newRow("0") << 0u << 10000;
    QTest::newRow("32767") << 32767u << 42767;
    QTest::newRow("89999: largest group") << 89999u << 99999;
    QTest::newRow("90000: smallest group") << 90000u << 10000;
    QTest::newRow("largest draw") << 4294967295u << 87295;
}

void TstCle::groupeCle()
{
    QFETCH(quint32, tirage);
    QFETCH(int, groupe);

    QCOMPARE(::groupeCle(tirage), groupe);
}

void TstCle::deuxClesDifferent()
{
    const QString premiere = nouvelleCle();
    const QString seconde = nouvelleCle();
    QVERIFY2(formeCle.match(premiere).hasMatch(), qPrintable(premiere));
    QVERIFY2(formeCle.match(seconde).hasMatch(), qPrintable(seconde));
    QVERIFY(premiere != seconde);

    // A deleted key file gives a different key on the next start.
    const QString cle = chargerCle(compte);
    QVERIFY(QFile::remove(fichierCle));
    QVERIFY(chargerCle(compte) != cle);
}

QTEST_GUILESS_MAIN(TstCle)
#include "tst_cle.moc"
