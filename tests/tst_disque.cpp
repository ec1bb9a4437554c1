// The server on a full disk: a SQLite database on a small tmpfs that the test
// fills up. Transfers are refused honestly while nothing can be written,
// known accounts still log in, a restart changes nothing, and transfers
// resume by themselves once there is room again.
//
// The tmpfs is mounted in a mount namespace of this test's own, entered
// before anything else starts, so that the server and the test see it and
// nothing outside does. Where that cannot be done, the test is skipped.

#include "clientprotocole.h"
#include "serveurdetest.h"

#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <memory>

namespace {

// Why the test cannot have a mount namespace of its own; empty when it has one.
QString raisonSansEspace;

// Only while the process has a single thread.
void entrerEspaceMontage()
{
    if (::geteuid() != 0) {
        raisonSansEspace = QStringLiteral("needs root: to mount a tmpfs");
        return;
    }
    if (::unshare(CLONE_NEWNS) != 0) {
        raisonSansEspace = QStringLiteral("needs mount namespaces: unshare: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    // Mounts made here must not spread back to the machine.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        raisonSansEspace = QStringLiteral("needs mount namespaces: mounts cannot be made private: %1")
                               .arg(QString::fromLocal8Bit(std::strerror(errno)));
}

// A tmpfs of tailleKo KiB on a fresh folder, unmounted again at the end.
class PetitDisque
{
public:
    explicit PetitDisque(int tailleKo)
    {
        const QByteArray chemin = QFile::encodeName(dossier.path());
        const QByteArray options = "size=" + QByteArray::number(tailleKo) + "k,mode=0700";
        if (::mount("qovi-test", chemin.constData(), "tmpfs", MS_NOSUID | MS_NODEV, options.constData()) == 0)
            monte = true;
        else
            erreur = QString::fromLocal8Bit(std::strerror(errno));
    }

    ~PetitDisque()
    {
        if (monte)
            ::umount2(QFile::encodeName(dossier.path()).constData(), MNT_DETACH);
    }

    QString chemin(const QString &nom) const { return dossier.filePath(nom); }

    // Takes every byte left; false if something else than a full disk stopped it.
    bool remplir()
    {
        const int descripteur = ::open(QFile::encodeName(chemin(QStringLiteral("remplissage"))).constData(),
                                       O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (descripteur < 0)
            return false;
        const QByteArray bloc(4096, 'x');
        for (int taille = bloc.size(); taille > 0;) {
            if (::write(descripteur, bloc.constData(), size_t(taille)) < 0) {
                if (errno != ENOSPC) {
                    ::close(descripteur);
                    return false;
                }
                taille /= 2;  // then the last bytes of a partly used page
            }
        }
        ::close(descripteur);
        return true;
    }

    bool liberer() { return QFile::remove(chemin(QStringLiteral("remplissage"))); }

    QTemporaryDir dossier;
    bool monte = false;
    QString erreur;
};

const QString refusStockage = QStringLiteral("i:The server cannot record transfers for now");

} // namespace

class TestDisque : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void disquePlein();
    void journalBorne();

private:
    bool identifier(ClientProtocole &client, const QString &compte, const QString &cle, const QString &attendu)
    {
        return identifierClient(client, serveur->port, compte, cle, attendu);
    }
    QString virement(int montant) const
    {
        return QStringLiteral("v:%1:%2:%3:%4").arg(compteA, compteB).arg(montant).arg(cleA);
    }
    qint64 solde(const QString &compte)
    {
        return base->nombre(QStringLiteral("SELECT balance FROM accounts WHERE account = '%1'").arg(compte));
    }
    void verifierComptes(int confirmes);

    std::unique_ptr<PetitDisque> disque;
    std::unique_ptr<BaseDeTest> base;
    std::unique_ptr<ProcessusServeur> serveur;
};

void TestDisque::init()
{
    if (!raisonSansEspace.isEmpty())
        QSKIP(qPrintable(raisonSansEspace));
    disque = std::make_unique<PetitDisque>(2048);
    if (!disque->monte)
        QSKIP(qPrintable(QStringLiteral("needs mount namespaces: cannot mount a tmpfs: %1").arg(disque->erreur)));
    base = std::make_unique<BaseDeTest>(QStringLiteral("sqlite"));
    base->url = disque->chemin(QStringLiteral("server.sqlite"));
    serveur = std::make_unique<ProcessusServeur>(base->url);
    QVERIFY2(serveur->demarrer(), qPrintable(serveur->journal()));
}

void TestDisque::cleanup()
{
    fermerBancServeur(base, serveur);
    disque.reset();
}

// Read while the server runs: the last connection to close takes SQLite's
// log and index away unless it keeps them, as the server does.
void TestDisque::verifierComptes(int confirmes)
{
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM transfers")), confirmes);
    QCOMPARE(base->sommeSoldes(), base->sommeCredits());
    QCOMPARE(solde(compteB), confirmes);
}

void TestDisque::disquePlein()
{
    {
        ClientProtocole a, b;
        QVERIFY(identifier(a, compteA, cleA, QLatin1String("n:") + compteA));
        QVERIFY(identifier(b, compteB, cleB, QLatin1String("n:") + compteB));
        QVERIFY(crediter(*base, compteA, 100000));
        QCOMPARE(a.demander(virement(1)), QLatin1String("s:") + compteB + QLatin1String(":1"));
    }
    int confirmes = 1;

    // The disk fills up while the server is stopped: it starts all the same.
    QVERIFY(serveur->arreter());
    QVERIFY(disque->remplir());
    QVERIFY2(serveur->demarrer(), qPrintable(serveur->journal()));
    ClientProtocole a, b;
    QVERIFY(identifier(a, compteA, cleA, QStringLiteral("m:%1").arg(100000 - confirmes)));
    QVERIFY(identifier(b, compteB, cleB, QStringLiteral("m:%1").arg(confirmes)));

    // Whatever room the database's files still have is used up first.
    QString reponse;
    for (int essais = 0; essais < 5000; ++essais) {
        reponse = a.demander(virement(1));
        if (reponse != QLatin1String("s:") + compteB + QLatin1String(":1"))
            break;
        ++confirmes;
    }
    QVERIFY2(reponse.startsWith(refusStockage), qPrintable(reponse));
    QVERIFY(serveur->journalContient(QStringLiteral("database cannot write")));
    for (int i = 0; i < 3; ++i)
        QVERIFY2(a.demander(virement(1)).startsWith(refusStockage), qPrintable(a.reponses.last()));
    QCOMPARE(serveur->journal().count(QStringLiteral("database cannot write")), 1);

    // Reading needs no room: a known account logs in and sees its balance; a
    // new one is refused with a reason.
    ClientProtocole aEncore, nouveau;
    QVERIFY(identifier(aEncore, compteA, cleA, QStringLiteral("m:%1").arg(100000 - confirmes)));
    QVERIFY(nouveau.connecter(serveur->port));
    const QString refusCompte = nouveau.demander(identifiants(compteC, cleC));
    QVERIFY2(refusCompte.startsWith(QLatin1String("i:The server cannot open new accounts")), qPrintable(refusCompte));
    QVERIFY(nouveau.attendreFermeture());
    QCOMPARE(b.reponses.size(), confirmes);
    verifierComptes(confirmes);

    // A restart on the full disk changes nothing.
    QVERIFY(serveur->arreter());
    QVERIFY2(serveur->demarrer(), qPrintable(serveur->journal()));
    ClientProtocole apres, bApres;
    QVERIFY(identifier(apres, compteA, cleA, QStringLiteral("m:%1").arg(100000 - confirmes)));
    QVERIFY(identifier(bApres, compteB, cleB, QStringLiteral("m:%1").arg(confirmes)));
    QVERIFY2(apres.demander(virement(1)).startsWith(refusStockage), qPrintable(apres.reponses.last()));
    verifierComptes(confirmes);

    // Room again: transfers resume without a restart, and the log says so.
    QVERIFY(disque->liberer());
    QCOMPARE(apres.demander(virement(2)), QLatin1String("s:") + compteB + QLatin1String(":2"));
    QCOMPARE(bApres.reponse(1), QLatin1String("r:2:") + compteA);
    QCOMPARE(bApres.reponses.size(), 2);
    QVERIFY(serveur->journalContient(QStringLiteral("database works again")));
    QCOMPARE(base->nombre(QStringLiteral("SELECT COUNT(*) FROM transfers")), confirmes + 1);
    QCOMPARE(base->sommeSoldes(), base->sommeCredits());
    QCOMPARE(solde(compteB), confirmes + 2);
}

void TestDisque::journalBorne()
{
    ClientProtocole a, b;
    QVERIFY(identifier(a, compteA, cleA, QLatin1String("n:") + compteA));
    QVERIFY(identifier(b, compteB, cleB, QLatin1String("n:") + compteB));
    QVERIFY(crediter(*base, compteA, 100000));

    // Each transfer writes a few pages to SQLite's log: 600 of them are more
    // than 2 MiB of log unless it is checkpointed on the way, and the
    // database itself grows by only a few pages.
    const int nombre = 600;
    for (int i = 0; i < nombre; ++i)
        a.envoyer(virement(1));
    QVERIFY(QTest::qWaitFor([&] { return a.reponses.size() == 1 + nombre; }, 60000));
    QCOMPARE(a.reponses.count(QLatin1String("s:") + compteB + QLatin1String(":1")), nombre);
    QVERIFY(QTest::qWaitFor([&] { return b.reponses.size() == 1 + nombre; }, 30000));
    verifierComptes(nombre);
}

int main(int argc, char *argv[])
{
    entrerEspaceMontage();
    QCoreApplication application(argc, argv);
    TestDisque test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_disque.moc"
