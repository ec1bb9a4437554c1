#ifndef PATRONIPRIVE_H
#define PATRONIPRIVE_H

// Two PostgreSQL nodes of the test's own under two Patroni processes, a
// primary and a synchronous standby, and a third Raft member that holds no
// database (patroni_raft_controller), so that losing one node's Patroni still
// leaves a majority; configured by scripts/patroni-node.sh: listening on free
// ports of 127.0.0.1 only, in a temporary directory, as the postgres user.
// Each Patroni is the test's own child and stops its PostgreSQL when the test
// ends, however it ends.

#include "processuslie.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

#include <pwd.h>
#include <unistd.h>

class PatroniPrive
{
public:
    static constexpr int nombreNoeuds = 2;

    ~PatroniPrive()
    {
        for (auto &noeud : noeuds)
            noeud->terminer();
        if (arbitre)
            arbitre->terminer();
        // A PostgreSQL left behind by a Patroni that had to be killed: only
        // if that PID is still one of ours, run on our data directory.
        for (int noeud = 0; noeud < nombreNoeuds; ++noeud) {
            const qint64 pid = pidPostmaster(noeud);
            QFile commande(QStringLiteral("/proc/%1/cmdline").arg(pid));
            if (pid > 0 && commande.open(QIODevice::ReadOnly) && commande.readAll().contains(dossier.path().toLocal8Bit()))
                ::kill(pid_t(pid), SIGQUIT);
        }
    }

    // Starts both nodes and waits for a leader and its synchronous standby.
    // Empty when they run; else what the machine lacks, as a QSKIP message begins.
    QString preparer()
    {
        if (::geteuid() != 0)
            return QStringLiteral("needs root: PostgreSQL runs as its own user");
        const passwd *utilisateur = ::getpwnam("postgres");
        if (!utilisateur)
            return QStringLiteral("needs PostgreSQL: the postgres user is missing");
        if (QStandardPaths::findExecutable(QStringLiteral("patroni")).isEmpty()
            || QStandardPaths::findExecutable(QStringLiteral("patroni_raft_controller")).isEmpty())
            return QStringLiteral("needs Patroni (Debian's patroni package)");
        if (!raftPresent())
            return QStringLiteral("needs Patroni's Raft (Debian's python3-pysyncobj package)");
        if (!dossier.isValid()
            || ::chown(QFile::encodeName(dossier.path()).constData(), utilisateur->pw_uid, utilisateur->pw_gid) != 0)
            return QStringLiteral("needs a temporary directory for the nodes");
        motDePasse = QString::number(QRandomGenerator::global()->generate64(), 36);
        // Three ports a node: PostgreSQL, the REST API, Raft; and the third member's Raft port.
        if (!choisirPorts(3 * nombreNoeuds + 1))
            return QStringLiteral("needs free ports on 127.0.0.1");
        const QString erreur = demarrerArbitre(utilisateur);
        if (!erreur.isEmpty())
            return erreur;
        for (int noeud = 0; noeud < nombreNoeuds; ++noeud) {
            const QString erreur = demarrer(noeud, utilisateur);
            if (!erreur.isEmpty())
                return erreur;
        }
        if (!attendreChefEtSynchrone(120000))
            return QStringLiteral("needs Patroni: no leader with a synchronous standby in 120 s: ") + journaux();
        return QString();
    }

    // Both nodes, the writable one whichever it is.
    QString url() const
    {
        return QStringLiteral("postgresql://postgres:%1@127.0.0.1:%2,127.0.0.1:%3/postgres?target_session_attrs=read-write")
            .arg(motDePasse)
            .arg(portPostgres(0))
            .arg(portPostgres(1));
    }

    QString urlDe(int noeud) const
    {
        return QStringLiteral("postgresql://postgres:%1@127.0.0.1:%2/postgres").arg(motDePasse).arg(portPostgres(noeud));
    }

    // What Patroni says of each member, by name (n0, n1): "leader", "sync_standby", "replica"...
    QMap<QString, QString> roles()
    {
        QMap<QString, QString> resultat;
        for (int noeud = 0; noeud < nombreNoeuds && resultat.isEmpty(); ++noeud) {
            const QJsonArray membres = QJsonDocument::fromJson(lireRest(noeud, "/cluster"))
                                           .object()
                                           .value(QStringLiteral("members"))
                                           .toArray();
            for (const auto &membre : membres) {
                const QJsonObject objet = membre.toObject();
                if (objet.value(QStringLiteral("state")).toString() == QLatin1String("running"))
                    resultat.insert(objet.value(QStringLiteral("name")).toString(),
                                    objet.value(QStringLiteral("role")).toString());
            }
        }
        return resultat;
    }

    // The node that leads, or -1.
    int chef()
    {
        const auto tous = roles();
        for (int noeud = 0; noeud < nombreNoeuds; ++noeud) {
            if (tous.value(nom(noeud)) == QLatin1String("leader"))
                return noeud;
        }
        return -1;
    }

    bool attendreChefEtSynchrone(int delaiMs)
    {
        return QTest::qWaitFor(
            [&] {
                const auto tous = roles().values();
                return tous.contains(QStringLiteral("leader")) && tous.contains(QStringLiteral("sync_standby"));
            },
            delaiMs);
    }

    qint64 pidPostmaster(int noeud) const
    {
        QFile fichier(dossier.filePath(nom(noeud) + QStringLiteral("/postmaster.pid")));
        if (!fichier.open(QIODevice::ReadOnly))
            return 0;
        return fichier.readLine().trimmed().toLongLong();
    }

    // The node's whole machine lost, as at a power cut: its Patroni, its
    // postmaster and the postmaster's children killed at once, none told.
    bool perdreMachine(int noeud)
    {
        const qint64 postmaster = pidPostmaster(noeud);
        if (postmaster <= 0 || noeud < 0 || noeud >= int(noeuds.size()))
            return false;
        // Not 0: kill(0) would signal the test's own process group.
        const qint64 patroni = noeuds.at(noeud)->processId();
        if (patroni <= 0 || ::kill(pid_t(patroni), SIGKILL) != 0)
            return false;
        // Stopped first, so that it forks no child between the list and the kill.
        if (::kill(pid_t(postmaster), SIGSTOP) != 0)
            return false;
        for (const qint64 enfant : enfantsDe(postmaster))
            ::kill(pid_t(enfant), SIGKILL);
        return ::kill(pid_t(postmaster), SIGKILL) == 0;
    }

    QString journaux() const
    {
        QStringList membres{nomArbitre()};
        for (int noeud = 0; noeud < nombreNoeuds; ++noeud)
            membres.append(nom(noeud));
        QString texte;
        for (const QString &membre : membres) {
            QFile fichier(dossier.filePath(membre + QStringLiteral(".log")));
            if (fichier.open(QIODevice::ReadOnly))
                texte += QString::fromLocal8Bit(fichier.readAll()).right(1500);
        }
        return texte;
    }

private:
    // With the Python that Debian's Patroni runs on.
    static bool raftPresent()
    {
        QProcess python;
        python.setStandardErrorFile(QProcess::nullDevice());
        python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QStringLiteral("import pysyncobj")});
        return python.waitForFinished(30000) && python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0;
    }

    static QString nom(int noeud) { return QStringLiteral("n%1").arg(noeud); }
    static QString nomArbitre() { return QStringLiteral("witness"); }

    // The processes whose parent is pid, from /proc.
    static QList<qint64> enfantsDe(qint64 pid)
    {
        QList<qint64> enfants;
        const QStringList processus = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &dossierProcessus : processus) {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(dossierProcessus));
            if (!stat.open(QIODevice::ReadOnly))
                continue;
            // "pid (name) state ppid ...": the name may hold spaces and parentheses.
            const QByteArray ligne = stat.readAll();
            const QList<QByteArray> champs = ligne.mid(ligne.lastIndexOf(')') + 2).split(' ');
            if (champs.size() > 1 && champs.at(1).toLongLong() == pid)
                enfants.append(dossierProcessus.toLongLong());
        }
        return enfants;
    }

    quint16 portPostgres(int noeud) const { return ports.value(3 * noeud); }
    quint16 portRest(int noeud) const { return ports.value(3 * noeud + 1); }
    quint16 portRaft(int noeud) const { return ports.value(3 * noeud + 2); }
    quint16 portRaftArbitre() const { return ports.value(3 * nombreNoeuds); }

    // Every Raft member's port but the node's own, as patroni-node.sh takes them.
    QString partenaires(int noeud) const
    {
        QStringList liste;
        for (int autre = 0; autre < nombreNoeuds; ++autre) {
            if (autre != noeud)
                liste.append(QString::number(portRaft(autre)));
        }
        liste.append(QString::number(portRaftArbitre()));
        return liste.join(QLatin1Char(','));
    }

    // Held open together so that no two are the same; a port taken by someone
    // else between now and Patroni's start makes that node fail, and the test with it.
    bool choisirPorts(int nombre)
    {
        std::vector<std::unique_ptr<QTcpServer>> tenus;
        for (int i = 0; i < nombre; ++i) {
            tenus.push_back(std::make_unique<QTcpServer>());
            if (!tenus.back()->listen(QHostAddress::LocalHost, 0))
                return false;
            ports.append(tenus.back()->serverPort());
        }
        return true;
    }

    // Writes NAME.yml with scripts/patroni-node.sh and its arguments; empty, or what went wrong.
    QString ecrireConfiguration(const QString &nomMembre, const QStringList &arguments, const passwd *utilisateur)
    {
        const QString configuration = dossier.filePath(nomMembre + QStringLiteral(".yml"));
        QProcess ecriture;
        ecriture.setStandardOutputFile(configuration);
        ecriture.start(QStringLiteral("bash"),
                       QStringList{qEnvironmentVariable("QOVI_SOURCE_DIR") + QStringLiteral("/scripts/patroni-node.sh")}
                           + arguments);
        if (!ecriture.waitForFinished(30000) || ecriture.exitCode() != 0)
            return QStringLiteral("needs scripts/patroni-node.sh: ") + QString::fromLocal8Bit(ecriture.readAllStandardError());
        (void)::chown(QFile::encodeName(configuration).constData(), utilisateur->pw_uid, utilisateur->pw_gid);
        return QString();
    }

    // As the postgres user, its output in NAME.log.
    std::unique_ptr<ProcessusLie> lancer(const QString &programme, const QString &nomMembre, const passwd *utilisateur)
    {
        auto processus = std::make_unique<ProcessusLie>(SIGTERM);
        processus->executerComme(utilisateur->pw_uid, utilisateur->pw_gid);
        processus->setWorkingDirectory(dossier.path());
        processus->setProcessChannelMode(QProcess::MergedChannels);
        processus->setStandardOutputFile(dossier.filePath(nomMembre + QStringLiteral(".log")));
        // As a service runs it: a backend left by its postmaster's death reads
        // its standard input, and a pipe left open would keep it, and the
        // connection of its client, for ever.
        processus->setStandardInputFile(QProcess::nullDevice());
        processus->start(QStandardPaths::findExecutable(programme), {dossier.filePath(nomMembre + QStringLiteral(".yml"))});
        return processus;
    }

    QString demarrer(int noeud, const passwd *utilisateur)
    {
        const QString erreur = ecrireConfiguration(
            nom(noeud),
            {dossier.path(), nom(noeud), QString::number(portPostgres(noeud)), QString::number(portRest(noeud)),
             QString::number(portRaft(noeud)), partenaires(noeud), motDePasse},
            utilisateur);
        if (!erreur.isEmpty())
            return erreur;
        noeuds.push_back(lancer(QStringLiteral("patroni"), nom(noeud), utilisateur));
        if (!noeuds.back()->waitForStarted(30000))
            return QStringLiteral("needs Patroni: it does not start");
        return QString();
    }

    QString demarrerArbitre(const passwd *utilisateur)
    {
        QStringList partenairesArbitre;
        for (int noeud = 0; noeud < nombreNoeuds; ++noeud)
            partenairesArbitre.append(QString::number(portRaft(noeud)));
        const QString erreur = ecrireConfiguration(nomArbitre(),
                                                   {QStringLiteral("--raft-only"), dossier.path(), nomArbitre(),
                                                    QString::number(portRaftArbitre()),
                                                    partenairesArbitre.join(QLatin1Char(','))},
                                                   utilisateur);
        if (!erreur.isEmpty())
            return erreur;
        arbitre = lancer(QStringLiteral("patroni_raft_controller"), nomArbitre(), utilisateur);
        if (!arbitre->waitForStarted(30000))
            return QStringLiteral("needs Patroni: patroni_raft_controller does not start");
        return QString();
    }

    // A plain HTTP/1.0 GET of the node's REST API: the body, empty if it does not answer.
    QByteArray lireRest(int noeud, const char *chemin) const
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, portRest(noeud));
        if (!socket.waitForConnected(2000))
            return QByteArray();
        socket.write(QByteArray("GET ") + chemin + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
        while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(2000)) {
        }
        const QByteArray reponse = socket.readAll();
        return reponse.mid(reponse.indexOf("\r\n\r\n") + 4);
    }

    QTemporaryDir dossier;
    QString motDePasse;
    QList<quint16> ports;
    std::vector<std::unique_ptr<ProcessusLie>> noeuds;
    // The third Raft member, which holds no database.
    std::unique_ptr<ProcessusLie> arbitre;
};

#endif
