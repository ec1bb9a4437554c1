#ifndef POSTGRESPRIVE_H
#define POSTGRESPRIVE_H

// A PostgreSQL cluster of the test's own, which it may stop and start again
// on the same port: never the shared one that other tests use meanwhile.
// initdb and pg_ctl run as the postgres user, in a temporary directory,
// listening on a free port of 127.0.0.1 only, with a password of its own.

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTemporaryDir>

#include <algorithm>

#include <pwd.h>
#include <unistd.h>

class PostgresPrive
{
public:
    ~PostgresPrive()
    {
        if (enMarche)
            pgCtl({QStringLiteral("stop"), QStringLiteral("-m"), QStringLiteral("immediate")});
    }

    // Initialises the cluster and starts it. Empty when it runs; else what the
    // machine lacks, in the form a QSKIP message begins with.
    QString preparer()
    {
        if (::geteuid() != 0)
            return QStringLiteral("needs root: PostgreSQL runs as its own user");
        const passwd *utilisateur = ::getpwnam("postgres");
        bin = dossierProgrammes();
        if (!utilisateur || bin.isEmpty())
            return QStringLiteral("needs PostgreSQL: initdb and the postgres user are missing");
        if (!dossier.isValid()
            || ::chown(QFile::encodeName(dossier.path()).constData(), utilisateur->pw_uid, utilisateur->pw_gid) != 0)
            return QStringLiteral("needs PostgreSQL: no temporary directory for a cluster");
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
        enMarche = !pgCtl({QStringLiteral("stop"), QStringLiteral("-m"), QStringLiteral("fast")});
        return !enMarche;
    }

    bool demarrer()
    {
        if (enMarche)
            return true;
        // fsync=off: the cluster is stopped cleanly, never killed.
        enMarche = pgCtl({QStringLiteral("-l"), dossier.filePath(QStringLiteral("server.log")), QStringLiteral("-o"),
                          QStringLiteral("-c listen_addresses=127.0.0.1 -c port=%1 -c unix_socket_directories=%2 "
                                         "-c fsync=off")
                              .arg(port)
                              .arg(dossier.path()),
                          QStringLiteral("start")});
        return enMarche;
    }

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
            if (QFile::exists(chemin + QStringLiteral("/initdb")) && QFile::exists(chemin + QStringLiteral("/pg_ctl")))
                return chemin;
        }
        return QString();
    }

    QString donnees() const { return dossier.filePath(QStringLiteral("data")); }

    bool pgCtl(const QStringList &arguments)
    {
        return commeUtilisateur(QStringLiteral("pg_ctl"), QStringList{QStringLiteral("-D"), donnees(), QStringLiteral("-w"),
                                                                       QStringLiteral("-t"), QStringLiteral("60")}
                                                              + arguments);
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
    quint16 port = 0;
    bool enMarche = false;
};

#endif
