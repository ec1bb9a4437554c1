#include "identity/cle.h"

#include "dossiertemporaire.h"

#include <QtTest>

#include <memory>

#include <csignal>

#include <pwd.h>
#include <sys/resource.h>
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

const char optionEnfant[] = "--charger-cle";
// The same, in a process whose files cannot grow beyond a number of bytes.
const char optionEnfantTailleMax[] = "--charger-cle-taille-max";

// What chargerCle gave in a process of its own: the key and the message for the user.
struct Chargement
{
    QString cle;
    QString probleme;
};

// Loads the key in dossier in a process that may not read what its owner may
// not: as nobody when the tests run as root, else as the same user.
bool chargerEnProcessus(const QString &dossier, Chargement *resultat, QString *pourquoi)
{
    QStringList commande = {QCoreApplication::applicationFilePath(), QLatin1String(optionEnfant), compte};
    QString programme = commande.takeFirst();
    if (geteuid() == 0) {
        const passwd *personne = getpwnam("nobody");
        if (!personne) {
            *pourquoi = QStringLiteral("needs an unprivileged user: no user nobody to run as");
            return false;
        }
        if (chown(QFile::encodeName(dossier).constData(), personne->pw_uid, personne->pw_gid) != 0) {
            *pourquoi = QStringLiteral("needs an unprivileged user: cannot give the folder to nobody");
            return false;
        }
        commande = QStringList({QStringLiteral("--reuid=%1").arg(personne->pw_uid),
                                QStringLiteral("--regid=%1").arg(personne->pw_gid), QStringLiteral("--clear-groups"),
                                QStringLiteral("--"), programme})
            + commande;
        programme = QStringLiteral("setpriv");
    }
    QProcess enfant;
    enfant.setWorkingDirectory(dossier);
    enfant.start(programme, commande);
    if (!enfant.waitForFinished(30000) || enfant.exitStatus() != QProcess::NormalExit || enfant.exitCode() != 0) {
        *pourquoi = QStringLiteral("needs an unprivileged user: ") + programme + QStringLiteral(" did not run: ") + enfant.errorString() + QLatin1Char(' ')
            + QString::fromLocal8Bit(enfant.readAllStandardError());
        return false;
    }
    const QStringList lignes = QString::fromUtf8(enfant.readAllStandardOutput()).split(QLatin1Char('\n'));
    resultat->cle = lignes.value(0);
    resultat->probleme = lignes.value(1);
    return true;
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
    void fichierExistantLu_data();
    void fichierExistantLu();
    void fichierIlisibleGarde_data();
    void fichierIlisibleGarde();
    void rienCreeALaPlaceDe_data();
    void rienCreeALaPlaceDe();
    void dossierSansEcriture();
    void rienEcritParDessus_data();
    void rienEcritParDessus();
    void cleCoupeeOtee_data();
    void cleCoupeeOtee();
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

void TstCle::fichierExistantLu_data()
{
    QTest::addColumn<QByteArray>("octets");
    QTest::addColumn<QString>("cle");

    QTest::newRow("empty file: empty key") << QByteArray() << "";
    QTest::newRow("line feed dropped") << QByteArray("12345678901234567890\n") << "12345678901234567890";
    QTest::newRow("carriage return and line feed dropped")
        << QByteArray("12345678901234567890\r\n") << "12345678901234567890";
    QTest::newRow("several line ends dropped")
        << QByteArray("12345678901234567890\r\n\n\r") << "12345678901234567890";
    QTest::newRow("line end inside kept") << QByteArray("1234567890\n1234567890") << "1234567890\n1234567890";
    QTest::newRow("other characters") << QByteArray(" abc 12") << " abc 12";
}

void TstCle::fichierExistantLu()
{
    QFETCH(QByteArray, octets);
    QFETCH(QString, cle);
    QVERIFY(ecrire(fichierCle, octets));

    QString probleme;
    QCOMPARE(chargerCle(compte, &probleme), cle);
    QCOMPARE(probleme, QString());
    QCOMPARE(contenu(fichierCle), octets);
}

void TstCle::fichierIlisibleGarde_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("parUnLien"); // the key file is a link to the file of that mode

    QTest::newRow("write-only") << 0200 << false;
    QTest::newRow("no access") << 0000 << false;
    QTest::newRow("link to a write-only file") << 0200 << true;
}

// An existing key file that its user may not read is the key of an account:
// it is never replaced. The user is told, and the run has no key.
void TstCle::fichierIlisibleGarde()
{
    QFETCH(int, mode);
    QFETCH(bool, parUnLien);
    const QString cible = parUnLien ? QStringLiteral("ailleurs") : fichierCle;
    QVERIFY(ecrire(cible, "11111222223333344444"));
    if (parUnLien)
        QVERIFY(QFile::link(cible, fichierCle));
    // The folder is one its user may write: nothing but the rule keeps the file.
    QVERIFY(QFile::setPermissions(dossier->chemin(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QVERIFY(QFile::setPermissions(dossier->parent(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                        | QFile::ExeGroup | QFile::ExeOther));
    if (geteuid() == 0) {
        const passwd *personne = getpwnam("nobody");
        QVERIFY(personne);
        QCOMPARE(chown(QFile::encodeName(cible).constData(), personne->pw_uid, personne->pw_gid), 0);
    }
    QCOMPARE(chmod(QFile::encodeName(cible).constData(), mode_t(mode)), 0);

    Chargement chargement;
    QString pourquoi;
    if (!chargerEnProcessus(dossier->chemin(), &chargement, &pourquoi))
        QSKIP(qPrintable(pourquoi));

    QCOMPARE(chargement.cle, QString());
    QVERIFY2(chargement.probleme.contains(QDir(dossier->chemin()).filePath(fichierCle)),
             qPrintable(chargement.probleme));
    QVERIFY2(chargement.probleme.contains(QStringLiteral("Permission denied")), qPrintable(chargement.probleme));
    QCOMPARE(QFileInfo(fichierCle).isSymLink(), parUnLien);
    QCOMPARE(chmod(QFile::encodeName(cible).constData(), 0600), 0);
    QCOMPARE(contenu(cible), QByteArray("11111222223333344444"));
    QCOMPARE(QDir(dossier->chemin()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size(),
             parUnLien ? 2 : 1);
}

void TstCle::rienCreeALaPlaceDe_data()
{
    QTest::addColumn<QString>("lien"); // the key file is a link to it; empty: a folder of that name
    QTest::addColumn<QString>("raison");

    QTest::newRow("link to nowhere, outside the folder")
        << QStringLiteral("../ailleurs.key") << QStringLiteral("symbolic link to a file that does not exist");
    QTest::newRow("link to nowhere, inside the folder")
        << QStringLiteral("ailleurs.key") << QStringLiteral("symbolic link to a file that does not exist");
    QTest::newRow("link to a folder") << QStringLiteral("..") << QStringLiteral("directory");
    QTest::newRow("folder") << QString() << QStringLiteral("directory");
}

// Whatever stands at the name of the key file, the new key is never written
// through it or in its place.
void TstCle::rienCreeALaPlaceDe()
{
    QFETCH(QString, lien);
    QFETCH(QString, raison);
    if (lien.isEmpty())
        QVERIFY(QDir().mkdir(fichierCle));
    else
        QVERIFY(QFile::link(lien, fichierCle));
    const QStringList avant = QDir(dossier->parent()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    QString probleme;
    QCOMPARE(chargerCle(compte, &probleme), QString());
    QVERIFY2(probleme.contains(QDir(dossier->chemin()).filePath(fichierCle)) && probleme.contains(raison),
             qPrintable(probleme));

    QCOMPARE(QDir(dossier->parent()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), avant);
    QCOMPARE(QDir(dossier->chemin()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
             QStringList(fichierCle));
    QCOMPARE(QFileInfo(fichierCle).isSymLink(), !lien.isEmpty());
    if (!lien.isEmpty())
        QCOMPARE(QFileInfo(fichierCle).symLinkTarget(), QDir::cleanPath(QDir(dossier->chemin()).absoluteFilePath(lien)));
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

void TstCle::rienEcritParDessus_data()
{
    QTest::addColumn<QString>("lien"); // empty: a file with some content; else a link to it
    QTest::addColumn<QByteArray>("octets");

    QTest::newRow("a file") << QString() << QByteArray("abc");
    QTest::newRow("an empty file") << QString() << QByteArray();
    QTest::newRow("a link to a file") << QStringLiteral("ailleurs.key") << QByteArray("abc");
}

// A key file that appears after chargerCle found none, just before the new
// key is written: it is left exactly as it is.
void TstCle::rienEcritParDessus()
{
    QFETCH(QString, lien);
    QFETCH(QByteArray, octets);
    const QString cible = lien.isEmpty() ? fichierCle : lien;
    QVERIFY(ecrire(cible, octets));
    if (!lien.isEmpty())
        QVERIFY(QFile::link(lien, fichierCle));

    QCOMPARE(creerFichierCle(fichierCle, nouvelleCle()), CreationCle::DejaLa);
    QCOMPARE(contenu(cible), octets);
    QCOMPARE(QFileInfo(fichierCle).isSymLink(), !lien.isEmpty());

    QVERIFY(QFile::remove(fichierCle));
    QCOMPARE(creerFichierCle(fichierCle, QStringLiteral("12345123451234512345")), CreationCle::Faite);
    QCOMPARE(contenu(fichierCle), QByteArray("12345123451234512345"));
}

void TstCle::cleCoupeeOtee_data()
{
    QTest::addColumn<int>("octetsPermis");

    QTest::newRow("nothing written") << 0;
    QTest::newRow("half written") << 10;
    QTest::newRow("one digit short") << 19;
}

// The disk takes only part of a new key: the cut key must not stay, or it
// would be read back as the key at the next start. The key serves this run.
void TstCle::cleCoupeeOtee()
{
    QFETCH(int, octetsPermis);

    QProcess enfant;
    enfant.setWorkingDirectory(dossier->chemin());
    enfant.start(QCoreApplication::applicationFilePath(),
                 {QLatin1String(optionEnfantTailleMax), QString::number(octetsPermis), compte});
    QVERIFY(enfant.waitForFinished(30000));
    QCOMPARE(enfant.exitStatus(), QProcess::NormalExit);
    QCOMPARE(enfant.exitCode(), 0);
    const QStringList lignes = QString::fromUtf8(enfant.readAllStandardOutput()).split(QLatin1Char('\n'));
    QVERIFY2(formeCle.match(lignes.value(0)).hasMatch(), qPrintable(lignes.join(QLatin1Char('|'))));
    QCOMPARE(lignes.value(1), QString()); // nothing to tell the user
    QCOMPARE(QDir(dossier->chemin()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
             QStringList());
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

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    // The process that the test of an unreadable file runs as another user.
    if (argc == 3 && qstrcmp(argv[1], optionEnfant) == 0) {
        QString probleme;
        const QString cle = chargerCle(QString::fromLocal8Bit(argv[2]), &probleme);
        QTextStream(stdout) << cle << '\n' << probleme << '\n';
        return 0;
    }
    if (argc == 4 && qstrcmp(argv[1], optionEnfantTailleMax) == 0) {
        const rlimit limite = {rlim_t(atoi(argv[2])), rlim_t(atoi(argv[2]))};
        if (setrlimit(RLIMIT_FSIZE, &limite) != 0)
            return 2;
        signal(SIGXFSZ, SIG_IGN); // a write beyond the limit fails instead of ending the process
        QString probleme;
        const QString cle = chargerCle(QString::fromLocal8Bit(argv[3]), &probleme);
        QTextStream(stdout) << cle << '\n' << probleme << '\n';
        return 0;
    }
    TstCle test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_cle.moc"
