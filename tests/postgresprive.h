#ifndef POSTGRESPRIVE_H
#define POSTGRESPRIVE_H

// A PostgreSQL cluster of the test's own, which it may stop and start again
// on the same port: never the shared one that other tests use meanwhile.
// initdb and the postmaster run as the postgres user, in a temporary directory,
// listening on a free port of 127.0.0.1 only, with a password of its own. The
// postmaster is the test's own child, so that it ends with the test however
// the test ends.

#include "processuslie.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#include <pwd.h>
#include <unistd.h>

class PostgresPrive
{
public:
    ~PostgresPrive() { finir(SIGQUIT); }

    // Before preparer(): a password shared with another cluster, for one URL
    // that names both (libpq sends the same one to each host).
    void choisirMotDePasse(const QString &mot) { motDePasse = mot; }

    // Before demarrer(): a setting of the postmaster's command line (name=value).
    void regler(const QString &reglage) { reglages.append(reglage); }

    // Initialises the cluster and starts it. Empty when it runs; else what the
    // machine lacks, in the form a QSKIP message begins with.
    QString preparer()
    {
        if (::geteuid() != 0)
            return QStringLiteral("needs root: PostgreSQL runs as its own user");
        const passwd *utilisateur = ::getpwnam("postgres");
        bin = dossierProgrammes();
        if (utilisateur)
            postmaster.executerComme(utilisateur->pw_uid, utilisateur->pw_gid);
        if (!utilisateur || bin.isEmpty())
            return QStringLiteral("needs PostgreSQL: initdb and the postgres user are missing");
        if (!dossier.isValid()
            || ::chown(QFile::encodeName(dossier.path()).constData(), utilisateur->pw_uid, utilisateur->pw_gid) != 0)
            return QStringLiteral("needs PostgreSQL: no temporary directory for a cluster");
        if (motDePasse.isEmpty())
            motDePasse = QString::number(QRandomGenerator::global()->generate64(), 36);
        QFile fichier(dossier.filePath(QStringLiteral("motdepasse")));
        if (!fichier.open(QIODevice::WriteOnly) || fichier.write(motDePasse.toLatin1()) < 0)
            return QStringLiteral("needs PostgreSQL: cannot write the password file");
        fichier.close();
        (void)::chown(QFile::encodeName(fichier.fileName()).constData(), utilisateur->pw_uid, utilisateur->pw_gid);
        if (!commeUtilisateur(QStringLiteral("initdb"),
                              {QStringLiteral("-D"), donnees(), QStringLiteral("-U"), QStringLiteral("postgres"),
                               QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--no-sync"),
                               QStringLiteral("--auth-local=peer"), QStringLiteral("--auth-host=scram-sha-256"),
                               QStringLiteral("--pwfile=") + fichier.fileName()}))
            return QStringLiteral("needs PostgreSQL: initdb failed: ") + sortie;
        // A port free now; taken by someone else meanwhile, the next one is tried.
        for (int essai = 0; essai < 5 && !enMarche; ++essai) {
            QTcpServer libre;
            if (!libre.listen(QHostAddress::LocalHost, 0))
                continue;
            port = libre.serverPort();
            libre.close();
            demarrer();
        }
        return enMarche ? QString() : QStringLiteral("needs PostgreSQL: the cluster does not start: ") + sortie;
    }

    // Fast shutdown, as an administrator restarting it would do.
    bool arreter()
    {
        if (!enMarche)
            return true;
        return finir(SIGINT);
    }

    bool demarrer()
    {
        if (enMarche)
            return true;
        // fsync=off: the cluster is stopped cleanly, never killed.
        postmaster.setWorkingDirectory(dossier.path());
        postmaster.setStandardOutputFile(journal(), QIODevice::Append);
        postmaster.setStandardErrorFile(journal(), QIODevice::Append);
        QStringList arguments{QStringLiteral("-D"), donnees(), QStringLiteral("-c"), QStringLiteral("listen_addresses=127.0.0.1"),
                              QStringLiteral("-c"), QStringLiteral("port=%1").arg(port), QStringLiteral("-c"),
                              QStringLiteral("unix_socket_directories=") + dossier.path(), QStringLiteral("-c"),
                              QStringLiteral("fsync=off")};
        for (const QString &reglage : reglages)
            arguments << QStringLiteral("-c") << reglage;
        postmaster.start(bin + QStringLiteral("/postgres"), arguments);
        // The postmaster writes "ready" in its PID file once it accepts connections.
        const QString fichierPid = donnees() + QStringLiteral("/postmaster.pid");
        enMarche = QTest::qWaitFor(
                       [&] {
                           if (postmaster.state() == QProcess::NotRunning)
                               return true;
                           QFile pid(fichierPid);
                           return pid.open(QIODevice::ReadOnly)
                                  && QString::fromLatin1(pid.readAll()).split(QLatin1Char('\n')).value(7).trimmed()
                                         == QLatin1String("ready");
                       },
                       120000)
                   && postmaster.state() == QProcess::Running;
        if (!enMarche) {
            finir(SIGQUIT);
            sortie = derniereLignesJournal();
        }
        return enMarche;
    }

    qint64 pid() const { return postmaster.processId(); }

    quint16 numeroPort() const { return port; }

    QString url() const
    {
        return QStringLiteral("postgresql://postgres:%1@127.0.0.1:%2/postgres").arg(motDePasse).arg(port);
    }

    // What the last command printed.
    QString sortie;

private:
    static QString dossierProgrammes()
    {
        QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QCollator ordre;
        ordre.setNumericMode(true);
        std::sort(versions.begin(), versions.end(), ordre);
        for (auto version = versions.crbegin(); version != versions.crend(); ++version) {
            const QString chemin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(*version);
            if (QFile::exists(chemin + QStringLiteral("/initdb")) && QFile::exists(chemin + QStringLiteral("/postgres")))
                return chemin;
        }
        return QString();
    }

    QString donnees() const { return dossier.filePath(QStringLiteral("data")); }

    QString journal() const { return dossier.filePath(QStringLiteral("server.log")); }

    QString derniereLignesJournal() const
    {
        QFile fichier(journal());
        if (!fichier.open(QIODevice::ReadOnly))
            return QString();
        return QString::fromLocal8Bit(fichier.readAll()).right(2000).simplified();
    }

    // SIGINT: fast shutdown, as an administrator restarting it would do;
    // SIGQUIT: immediate, for a test that is over.
    bool finir(int signalArret)
    {
        if (postmaster.state() == QProcess::NotRunning) {
            enMarche = false;
            return true;
        }
        ::kill(pid_t(postmaster.processId()), signalArret);
        enMarche = !postmaster.waitForFinished(120000);
        if (enMarche)
            sortie = derniereLignesJournal();
        return !enMarche;
    }

    // Run from the cluster's directory, which the postgres user can read.
    bool commeUtilisateur(const QString &programme, const QStringList &arguments)
    {
        QProcess processus;
        processus.setWorkingDirectory(dossier.path());
        processus.setProcessChannelMode(QProcess::MergedChannels);
        processus.start(QStringLiteral("runuser"), QStringList{QStringLiteral("-u"), QStringLiteral("postgres"),
                                                               QStringLiteral("--"), bin + QLatin1Char('/') + programme}
                                                       + arguments);
        const bool fini = processus.waitForFinished(120000);
        sortie = QString::fromLocal8Bit(processus.readAll()).simplified();
        return fini && processus.exitStatus() == QProcess::NormalExit && processus.exitCode() == 0;
    }

    QTemporaryDir dossier;
    QString bin;
    QString motDePasse;
    QStringList reglages;
    quint16 port = 0;
    bool enMarche = false;
    ProcessusLie postmaster{SIGQUIT};
};

#endif
