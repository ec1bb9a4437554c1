// Start-up of real qovi-client processes on a private X display: the
// single-instance guard and the start without a hardware address.
//
// Each test case gets its own System V IPC namespace (a holder process made by
// `unshare --ipc`, which every client of the case joins with `nsenter`), its
// own TMPDIR (the guard's key files) and its own working directory, so that
// neither another test nor a client running on the machine takes part.

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include "processuslie.h"

#include <memory>
#include <vector>

#include <signal.h>
#include <unistd.h>

namespace {

// Start-up under the sanitizers is slow.
constexpr int attente = 30000;
const QString titreFenetre = QStringLiteral("QoVi$");

// Runs a short tool to its end; its exit code, or -1 when it could not run or did not end.
int executer(const QString &programme, const QStringList &arguments, QString *sortie = nullptr,
             const QProcessEnvironment &environnement = QProcessEnvironment::systemEnvironment())
{
    ProcessusLie outil;
    outil.setProcessEnvironment(environnement);
    outil.start(programme, arguments);
    if (!outil.waitForFinished(attente) || outil.exitStatus() != QProcess::NormalExit)
        return -1;
    if (sortie)
        *sortie = QString::fromLocal8Bit(outil.readAllStandardOutput());
    return outil.exitCode();
}

// Runs a short tool to its end; true when it succeeded, else what it said in *erreur.
bool executerAvecErreur(const QString &programme, const QStringList &arguments, QString *erreur)
{
    ProcessusLie outil;
    outil.setProcessChannelMode(QProcess::MergedChannels);
    outil.start(programme, arguments);
    const bool fini = outil.waitForFinished(attente) && outil.exitStatus() == QProcess::NormalExit;
    if (fini && outil.exitCode() == 0)
        return true;
    *erreur = fini ? QString::fromLocal8Bit(outil.readAll()).trimmed() : outil.errorString();
    return false;
}

// The IPC namespace a process is in, as the kernel names it ("ipc:[4026531839]").
QByteArray espaceIpc(qint64 pid)
{
    char nom[64] = {};
    const QByteArray lien = "/proc/" + QByteArray::number(pid) + "/ns/ipc";
    const ssize_t taille = readlink(lien.constData(), nom, sizeof nom - 1);
    return taille > 0 ? QByteArray(nom, int(taille)) : QByteArray();
}

// An Xvfb server of the test's own, on the first free display number.
class AffichageVirtuel
{
public:
    bool demarrer(QString *erreur)
    {
        // Without -noreset, the server resets whenever its last client leaves, and
        // a tool connecting at that moment is turned away.
        xvfb.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                            QStringLiteral("-screen"), QStringLiteral("0"),
                                            QStringLiteral("1024x768x24"), QStringLiteral("-nolisten"),
                                            QStringLiteral("tcp"), QStringLiteral("-noreset")});
        // With -displayfd, Xvfb prints the number it took once it accepts clients.
        const QDeadlineTimer fin(attente);
        while (!xvfb.canReadLine() && xvfb.state() != QProcess::NotRunning && !fin.hasExpired())
            xvfb.waitForReadyRead(100);
        const QByteArray numero = xvfb.readLine().trimmed();
        if (numero.isEmpty()) {
            *erreur = QStringLiteral("Xvfb did not start: ") + QString::fromLocal8Bit(xvfb.readAllStandardError());
            return false;
        }
        nom = QLatin1Char(':') + QString::fromLatin1(numero);
        return true;
    }

    QProcessEnvironment environnement() const
    {
        QProcessEnvironment environnement = QProcessEnvironment::systemEnvironment();
        environnement.insert(QStringLiteral("DISPLAY"), nom);
        return environnement;
    }

    // A tool that talks to this display; its exit code.
    int xdotool(const QStringList &arguments, QString *sortie = nullptr) const
    {
        return executer(QStringLiteral("xdotool"), arguments, sortie, environnement());
    }

    QList<quint64> fenetresVisibles(qint64 pid) const
    {
        QString sortie;
        xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                 QString::number(pid)},
                &sortie);
        QList<quint64> fenetres;
        const QStringList lignes = sortie.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &ligne : lignes)
            fenetres.append(ligne.toULongLong());
        return fenetres;
    }

    QString titre(quint64 fenetre) const
    {
        QString sortie;
        xdotool({QStringLiteral("getwindowname"), QString::number(fenetre)}, &sortie);
        return sortie.trimmed();
    }

    // Presses Return in a message box, as a user does to dismiss it.
    bool repondre(quint64 fenetre) const
    {
        // Focus it first: with several boxes open, the one that has the focus is not always this one.
        const int focus = executer(QStringLiteral("timeout"),
                                   {QStringLiteral("10"), QStringLiteral("xdotool"), QStringLiteral("windowfocus"),
                                    QStringLiteral("--sync"), QString::number(fenetre)},
                                   nullptr, environnement());
        return focus == 0 && xdotool({QStringLiteral("key"), QStringLiteral("Return")}) == 0;
    }

    // Asks the window to close as a window manager's close button does.
    bool fermer(quint64 fenetre) const
    {
        const QString script = qEnvironmentVariable("QOVI_SOURCE_DIR")
                               + QStringLiteral("/tests/demarrage/fermer_fenetre.py");
        return executer(QStringLiteral("python3"), {script, QString::number(fenetre)}, nullptr, environnement())
               == 0;
    }

    ProcessusLie xvfb;
    QString nom;
};

// Records every window mapped at the top level of the display, through xev on
// the root window. A marker property on the root brackets the recording: once
// xev has printed the marker's change, it has printed everything before it too.
class TemoinFenetres
{
public:
    explicit TemoinFenetres(const AffichageVirtuel &affichage)
        : affichage(affichage)
    {
        xev.setProcessEnvironment(affichage.environnement());
        xev.start(QStringLiteral("stdbuf"), {QStringLiteral("-oL"), QStringLiteral("xev"), QStringLiteral("-root"),
                                             QStringLiteral("-event"), QStringLiteral("substructure"),
                                             QStringLiteral("-event"), QStringLiteral("property")});
        xev.waitForStarted(attente);
    }

    bool synchroniser()
    {
        // Until xev listens, a change goes unseen: set a new marker until one of
        // this call's markers shows (a late one of an earlier call proves nothing).
        const QDeadlineTimer fin(attente);
        QStringList attendus;
        while (!fin.hasExpired() && xev.state() == QProcess::Running) {
            const QString marque = QStringLiteral("_QOVI_TEMOIN_%1").arg(++marques);
            executer(QStringLiteral("xprop"),
                     {QStringLiteral("-root"), QStringLiteral("-f"), marque, QStringLiteral("32c"),
                      QStringLiteral("-set"), marque, QStringLiteral("1")},
                     nullptr, affichage.environnement());
            attendus.append(QLatin1Char('(') + marque + QLatin1Char(')'));
            const QDeadlineTimer tour(500);
            while (!tour.hasExpired()) {
                xev.waitForReadyRead(50);
                journal += QString::fromLocal8Bit(xev.readAllStandardOutput());
                for (const QString &attendu : qAsConst(attendus))
                    if (journal.contains(attendu))
                        return true;
            }
        }
        return false;
    }

    QList<quint64> fenetresMontrees() const
    {
        static const QRegularExpression carte(
            QStringLiteral("MapNotify event[^\n]*\n\\s*event 0x[0-9a-f]+, window 0x([0-9a-f]+)"));
        QList<quint64> fenetres;
        auto trouvees = carte.globalMatch(journal);
        while (trouvees.hasNext())
            fenetres.append(trouvees.next().captured(1).toULongLong(nullptr, 16));
        return fenetres;
    }

private:
    const AffichageVirtuel &affichage;
    ProcessusLie xev;
    QString journal;
    int marques = 0; // markers set so far; each has a name of its own
};

// One test case's private world: an IPC namespace, a TMPDIR, a working
// directory, and the clients started in it. Everything goes on destruction.
class Scenario
{
public:
    explicit Scenario(const AffichageVirtuel &affichage)
        : affichage(affichage)
    {
        QDir(racine.path()).mkpath(QStringLiteral("tmp"));
        QDir(racine.path()).mkpath(QStringLiteral("travail"));
        QDir(racine.path()).mkpath(QStringLiteral("runtime"));
        QFile::setPermissions(racine.filePath(QStringLiteral("runtime")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    ~Scenario()
    {
        clients.clear();
        gardien.arreter();
        if (!reseau.isEmpty())
            executer(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("delete"), reseau});
    }

    // The holder keeps the namespace alive; the clients join it.
    bool ouvrirEspaceIpc(QString *erreur)
    {
        gardien.setProcessChannelMode(QProcess::MergedChannels);
        gardien.start(QStringLiteral("unshare"), {QStringLiteral("--ipc"), QStringLiteral("--"),
                                                  QStringLiteral("sleep"), QStringLiteral("infinity")});
        const QByteArray notre = espaceIpc(getpid());
        const QDeadlineTimer fin(attente);
        while (gardien.state() != QProcess::NotRunning && !fin.hasExpired()) {
            const QByteArray sien = espaceIpc(gardien.processId());
            if (!sien.isEmpty() && sien != notre)
                return true;
            gardien.waitForFinished(50);
        }
        *erreur = QStringLiteral("unshare --ipc failed: ") + QString::fromLocal8Bit(gardien.readAll());
        return false;
    }

    // An empty network namespace: its only interface is lo, without hardware address.
    // `ip netns exec` also needs what a plain chroot lacks (`/` a mount point, to
    // remount /sys inside): tried once here, so that the case skips with the reason.
    bool ouvrirEspaceReseau(QString *erreur)
    {
        const QString nom = QStringLiteral("qovi-test-%1").arg(getpid());
        QString sortie;
        if (!executerAvecErreur(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("add"), nom}, &sortie)) {
            *erreur = QStringLiteral("ip netns add fails: ") + sortie;
            return false;
        }
        reseau = nom;
        if (!executerAvecErreur(QStringLiteral("ip"),
                                {QStringLiteral("netns"), QStringLiteral("exec"), nom, QStringLiteral("true")},
                                &sortie)) {
            *erreur = QStringLiteral("ip netns exec fails: ") + sortie;
            return false;
        }
        return true;
    }

    QProcess *lancer()
    {
        QProcessEnvironment environnement = affichage.environnement();
        environnement.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        // Shared-memory images would need the X server's IPC namespace.
        environnement.insert(QStringLiteral("QT_X11_NO_MITSHM"), QStringLiteral("1"));
        // The window needs no OpenGL, and Mesa's GLX, loaded for it on Xvfb, keeps
        // allocations that LeakSanitizer can only report once the library is
        // unloaded, without a module name that a suppression could match.
        environnement.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("none"));
        environnement.insert(QStringLiteral("TMPDIR"), racine.filePath(QStringLiteral("tmp")));
        environnement.insert(QStringLiteral("XDG_RUNTIME_DIR"), racine.filePath(QStringLiteral("runtime")));

        // nsenter and ip netns exec both exec in place: the process is the client itself.
        QStringList commande{QStringLiteral("--ipc=/proc/%1/ns/ipc").arg(gardien.processId()), QStringLiteral("--")};
        if (!reseau.isEmpty())
            commande << QStringLiteral("ip") << QStringLiteral("netns") << QStringLiteral("exec") << reseau;
        commande << qEnvironmentVariable("QOVI_CLIENT");

        clients.push_back(std::make_unique<ProcessusLie>());
        ProcessusLie *client = clients.back().get();
        client->setProcessEnvironment(environnement);
        client->setWorkingDirectory(dossierTravail());
        client->setProcessChannelMode(QProcess::MergedChannels);
        client->start(QStringLiteral("nsenter"), commande);
        client->waitForStarted(attente);
        return client;
    }

    // A visible window of the client, once there is one; 0 if it ends or takes too long.
    quint64 fenetre(QProcess *client) const
    {
        const QDeadlineTimer fin(attente);
        while (client->state() == QProcess::Running && !fin.hasExpired()) {
            const QList<quint64> fenetres = affichage.fenetresVisibles(client->processId());
            if (!fenetres.isEmpty())
                return fenetres.first();
            QTest::qWait(100);
        }
        return 0;
    }

    // The client's exit code once it has ended normally; -1 after a crash or a time-out.
    static int codeSortie(QProcess *client)
    {
        if (!client->waitForFinished(attente) || client->exitStatus() != QProcess::NormalExit)
            return -1;
        return client->exitCode();
    }

    // The attach count of each shared-memory segment in the namespace.
    QList<int> segments() const
    {
        QString sortie;
        executer(QStringLiteral("nsenter"), {QStringLiteral("--ipc=/proc/%1/ns/ipc").arg(gardien.processId()),
                                             QStringLiteral("--"), QStringLiteral("ipcs"), QStringLiteral("-m")},
                 &sortie);
        // key shmid owner perms bytes nattch
        static const QRegularExpression ligne(QStringLiteral("^0x[0-9a-f]+\\s+\\d+\\s+\\S+\\s+\\d+\\s+\\d+\\s+(\\d+)"),
                                              QRegularExpression::MultilineOption);
        QList<int> attachements;
        auto trouvees = ligne.globalMatch(sortie);
        while (trouvees.hasNext())
            attachements.append(trouvees.next().captured(1).toInt());
        return attachements;
    }

    QString dossierTravail() const { return racine.filePath(QStringLiteral("travail")); }

    QString journaux() const
    {
        QString texte;
        int numero = 0;
        for (const auto &client : clients)
            texte += QStringLiteral("--- client %1 (in order of start):\n").arg(++numero)
                     + QString::fromLocal8Bit(client->readAll());
        return texte;
    }

private:
    const AffichageVirtuel &affichage;
    QTemporaryDir racine;
    ProcessusLie gardien;
    QString reseau;
    std::vector<std::unique_ptr<ProcessusLie>> clients;
};

} // namespace

class TstDemarrage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void premierDemarrageEtSuivant();
    void refusTantQuUneInstanceTourne();
    void refusTantQuUneBoiteDeRefusEstOuverte();
    void demarrageApresArretBrutal();
    void demarragesSimultanes();
    void sansAdresseMaterielle();

private:
    // The main window of a client that runs, or 0.
    quint64 fenetrePrincipale(QProcess *client);
    // Checks that the client shows the refusal box instead of its window; the box, or 0.
    quint64 boiteRefus(QProcess *client);

    AffichageVirtuel affichage;
    std::unique_ptr<Scenario> scenario;
};

void TstDemarrage::initTestCase()
{
    QVERIFY2(QFileInfo(qEnvironmentVariable("QOVI_CLIENT")).isExecutable(), "QOVI_CLIENT names no built client");
    if (geteuid() != 0)
        QSKIP("needs root: each case runs its clients in a private IPC namespace (unshare --ipc, nsenter), "
              "so that they cannot meet another running client");
    const QStringList outils{QStringLiteral("Xvfb"), QStringLiteral("xdotool"), QStringLiteral("xev"),
                             QStringLiteral("xprop"), QStringLiteral("unshare"), QStringLiteral("nsenter"),
                             QStringLiteral("ipcs"), QStringLiteral("ip"), QStringLiteral("python3"),
                             QStringLiteral("stdbuf"), QStringLiteral("timeout")};
    for (const QString &outil : outils)
        QVERIFY2(!QStandardPaths::findExecutable(outil).isEmpty(),
                 qPrintable(outil + QStringLiteral(" is missing (scripts/install-deps.sh installs it)")));
    QString erreur;
    QVERIFY2(affichage.demarrer(&erreur), qPrintable(erreur));
}

void TstDemarrage::init()
{
    scenario = std::make_unique<Scenario>(affichage);
    QString erreur;
    if (!scenario->ouvrirEspaceIpc(&erreur))
        QSKIP(qPrintable(QStringLiteral("needs IPC namespaces: ") + erreur));
}

void TstDemarrage::cleanup()
{
    if (QTest::currentTestFailed() && scenario)
        qInfo().noquote() << scenario->journaux();
    scenario.reset();
}

void TstDemarrage::cleanupTestCase()
{
    affichage.xvfb.arreter();
}

quint64 TstDemarrage::fenetrePrincipale(QProcess *client)
{
    const quint64 fenetre = scenario->fenetre(client);
    if (fenetre == 0 || affichage.titre(fenetre) != titreFenetre)
        return 0;
    return fenetre;
}

quint64 TstDemarrage::boiteRefus(QProcess *client)
{
    const quint64 boite = scenario->fenetre(client);
    // The box has no title of its own, so the toolkit shows the program's name.
    const QString attendu = QFileInfo(qEnvironmentVariable("QOVI_CLIENT")).fileName();
    if (boite == 0 || affichage.titre(boite) != attendu)
        return 0;
    return boite;
}

void TstDemarrage::premierDemarrageEtSuivant()
{
    QProcess *premier = scenario->lancer();
    const quint64 fenetre = fenetrePrincipale(premier);
    QVERIFY2(fenetre, "the first start shows no window titled QoVi$");
    QCOMPARE(scenario->segments(), QList<int>{1});

    QVERIFY(affichage.fermer(fenetre));
    QCOMPARE(Scenario::codeSortie(premier), 0);
    QCOMPARE(scenario->segments(), QList<int>{});

    QProcess *suivant = scenario->lancer();
    const quint64 autre = fenetrePrincipale(suivant);
    QVERIFY2(autre, "a start after a closed instance is refused");
    QVERIFY(affichage.fermer(autre));
    QCOMPARE(Scenario::codeSortie(suivant), 0);
}

void TstDemarrage::refusTantQuUneInstanceTourne()
{
    QProcess *premier = scenario->lancer();
    const quint64 fenetre = fenetrePrincipale(premier);
    QVERIFY(fenetre);

    QProcess *deuxieme = scenario->lancer();
    const quint64 boiteDeuxieme = boiteRefus(deuxieme);
    QVERIFY2(boiteDeuxieme, "a second start shows no refusal box");

    // The open box holds nothing that a third start waits for.
    QProcess *troisieme = scenario->lancer();
    const quint64 boiteTroisieme = boiteRefus(troisieme);
    QVERIFY2(boiteTroisieme, "a third start, with the second's box open, shows no refusal box");
    QCOMPARE(deuxieme->state(), QProcess::Running);

    QVERIFY(affichage.repondre(boiteTroisieme));
    QCOMPARE(Scenario::codeSortie(troisieme), 1);
    QVERIFY(affichage.repondre(boiteDeuxieme));
    QCOMPARE(Scenario::codeSortie(deuxieme), 1);

    QCOMPARE(premier->state(), QProcess::Running);
    QCOMPARE(affichage.fenetresVisibles(premier->processId()), QList<quint64>{fenetre});
    QCOMPARE(scenario->segments(), QList<int>{1});
    QVERIFY(affichage.fermer(fenetre));
    QCOMPARE(Scenario::codeSortie(premier), 0);
}

void TstDemarrage::refusTantQuUneBoiteDeRefusEstOuverte()
{
    QProcess *premier = scenario->lancer();
    const quint64 fenetre = fenetrePrincipale(premier);
    QVERIFY(fenetre);
    QProcess *refuse = scenario->lancer();
    const quint64 boite = boiteRefus(refuse);
    QVERIFY(boite);

    // The refused instance still holds the segment while its box is open.
    QVERIFY(affichage.fermer(fenetre));
    QCOMPARE(Scenario::codeSortie(premier), 0);
    QProcess *pendantLaBoite = scenario->lancer();
    const quint64 autreBoite = boiteRefus(pendantLaBoite);
    QVERIFY2(autreBoite, "a start while a refusal box is open is not refused");
    QVERIFY(affichage.repondre(autreBoite));
    QCOMPARE(Scenario::codeSortie(pendantLaBoite), 1);
    QVERIFY(affichage.repondre(boite));
    QCOMPARE(Scenario::codeSortie(refuse), 1);

    QProcess *apres = scenario->lancer();
    const quint64 nouvelle = fenetrePrincipale(apres);
    QVERIFY2(nouvelle, "a start after every instance has ended is refused");
    QVERIFY(affichage.fermer(nouvelle));
    QCOMPARE(Scenario::codeSortie(apres), 0);
}

void TstDemarrage::demarrageApresArretBrutal()
{
    QProcess *tue = scenario->lancer();
    QVERIFY(fenetrePrincipale(tue));
    ::kill(pid_t(tue->processId()), SIGKILL);
    QVERIFY(tue->waitForFinished(attente));
    QCOMPARE(tue->exitStatus(), QProcess::CrashExit);
    QCOMPARE(scenario->segments(), QList<int>{0}); // left behind, held by no one

    QProcess *suivant = scenario->lancer();
    const quint64 fenetre = fenetrePrincipale(suivant);
    QVERIFY2(fenetre, "the segment of a killed instance refuses a later start");
    QCOMPARE(scenario->segments(), QList<int>{1});
    QVERIFY(affichage.fermer(fenetre));
    QCOMPARE(Scenario::codeSortie(suivant), 0);
    QCOMPARE(scenario->segments(), QList<int>{});
}

void TstDemarrage::demarragesSimultanes()
{
    QProcess *un = scenario->lancer();
    QProcess *deux = scenario->lancer();
    const quint64 fenetreUn = scenario->fenetre(un);
    const quint64 fenetreDeux = scenario->fenetre(deux);
    QVERIFY(fenetreUn && fenetreDeux);

    const bool unGagne = affichage.titre(fenetreUn) == titreFenetre;
    QProcess *gagnant = unGagne ? un : deux;
    QProcess *perdant = unGagne ? deux : un;
    const quint64 boite = unGagne ? fenetreDeux : fenetreUn;
    QVERIFY2(affichage.titre(boite) != titreFenetre, "both starts show the window");

    QVERIFY(affichage.repondre(boite));
    QCOMPARE(Scenario::codeSortie(perdant), 1);
    QVERIFY(affichage.fermer(unGagne ? fenetreUn : fenetreDeux));
    QCOMPARE(Scenario::codeSortie(gagnant), 0);
}

void TstDemarrage::sansAdresseMaterielle()
{
    QString erreur;
    if (!scenario->ouvrirEspaceReseau(&erreur))
        QSKIP(qPrintable(QStringLiteral("needs network namespaces: none to start the client in without a hardware address: ") + erreur));
    TemoinFenetres temoin(affichage);
    QVERIFY(temoin.synchroniser());

    QProcess *client = scenario->lancer();
    const quint64 boite = scenario->fenetre(client);
    QVERIFY2(boite, "no box without a hardware address");
    QCOMPARE(affichage.titre(boite), QStringLiteral("Error MAC@"));
    QVERIFY(affichage.repondre(boite));
    QCOMPARE(Scenario::codeSortie(client), 0);

    QVERIFY(temoin.synchroniser());
    QCOMPARE(temoin.fenetresMontrees(), QList<quint64>{boite}); // the window never appeared
    QCOMPARE(QDir(scenario->dossierTravail()).entryList({QStringLiteral("*.key")}, QDir::Files), QStringList());
}

QTEST_GUILESS_MAIN(TstDemarrage)
#include "tst_demarrage.moc"
