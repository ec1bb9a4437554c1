// A test program that dies in the middle (its time-out's abort, a crash, a
// SIGKILL) leaves nothing running: the servers, PostgreSQL clusters and
// proxies that the tests start end with it.

#include "postgresprive.h"
#include "serveurdetest.h"

#include <QCoreApplication>
#include <QTest>
#include <QTextStream>

#include <cerrno>
#include <cstdlib>

#include <signal.h>
#include <sys/resource.h>

namespace {

const char optionEnfant[] = "--demarrer-puis-mourir";

// Gone, or a zombie that nobody has reaped yet: either way it runs no more.
bool termine(qint64 pid)
{
    if (::kill(pid_t(pid), 0) != 0)
        return errno == ESRCH;
    QFile etat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!etat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray ligne = etat.readAll();
    const int fin = ligne.lastIndexOf(')');
    return fin >= 0 && ligne.mid(fin + 2, 1) == "Z";
}

// The child: starts what the tests start, says their PIDs, then dies as the
// way of dying asks.
int demarrerPuisMourir(const QString &facon)
{
    QTextStream sortie(stdout);
    BaseDeTest base(QStringLiteral("sqlite"));
    ProcessusServeur serveur(base.url);
    if (!serveur.demarrer())
        return 3;
    sortie << "server " << serveur.processus.processId() << '\n';

    PostgresPrive postgres;
    if (postgres.preparer().isEmpty())
        sortie << "postgres " << postgres.pid() << '\n';
    sortie << "ready" << Qt::endl;

    const rlimit sansCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &sansCore);
    if (facon == QLatin1String("abort"))
        std::abort(); // what QTest's watchdog does to a test past its time-out
    ::kill(::getpid(), SIGKILL);
    return 4;
}

} // namespace

class TstNettoyage : public QObject
{
    Q_OBJECT

private slots:
    void rienNeSurvit_data();
    void rienNeSurvit();
};

void TstNettoyage::rienNeSurvit_data()
{
    QTest::addColumn<QString>("facon");
    QTest::newRow("aborted") << QStringLiteral("abort");
    QTest::newRow("killed") << QStringLiteral("kill");
}

void TstNettoyage::rienNeSurvit()
{
    QFETCH(QString, facon);
    // The child's temporary folders (its database, its cluster) are left
    // behind by its death: they go with this one.
    QTemporaryDir dossier;
    QVERIFY(dossier.isValid());
    // The cluster's user must pass through it to reach its own folder.
    QFile::setPermissions(dossier.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup
                                              | QFile::ExeOther);
    QProcessEnvironment environnement = QProcessEnvironment::systemEnvironment();
    environnement.insert(QStringLiteral("TMPDIR"), dossier.path());
    QProcess enfant;
    enfant.setProcessEnvironment(environnement);
    enfant.start(QCoreApplication::applicationFilePath(), {QLatin1String(optionEnfant), facon});
    QVERIFY(enfant.waitForFinished(180000));
    QVERIFY2(enfant.exitStatus() == QProcess::CrashExit, qPrintable(enfant.readAllStandardError()));

    QHash<QString, qint64> pids;
    const QStringList lignes = QString::fromLocal8Bit(enfant.readAllStandardOutput()).split(QLatin1Char('\n'));
    QVERIFY2(lignes.contains(QLatin1String("ready")), qPrintable(lignes.join(QLatin1Char('\n'))));
    for (const QString &ligne : lignes) {
        const QStringList mots = ligne.split(QLatin1Char(' '));
        if (mots.size() == 2)
            pids.insert(mots.at(0), mots.at(1).toLongLong());
    }
    QVERIFY(pids.value(QStringLiteral("server")) > 0);
    if (!pids.contains(QStringLiteral("postgres")))
        qInfo("PostgreSQL not checked: the machine cannot start a private cluster (needs root and PostgreSQL)");

    for (auto pid = pids.cbegin(); pid != pids.cend(); ++pid)
        QVERIFY2(QTest::qWaitFor([&] { return termine(pid.value()); }, 60000),
                 qPrintable(QStringLiteral("the %1 (PID %2) outlived its test").arg(pid.key()).arg(pid.value())));
}

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], optionEnfant) == 0)
        return demarrerPuisMourir(QString::fromLocal8Bit(argv[2]));
    TstNettoyage test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_nettoyage.moc"
