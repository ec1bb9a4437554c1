#ifndef PROCESSUSLIE_H
#define PROCESSUSLIE_H

// A child process that the kernel signals when the test process dies, so that
// a test aborted by its time-out, a crash or SIGKILL leaves no server,
// database, proxy or display running behind it.

#include <QProcess>

#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

class ProcessusLie : public QProcess
{
public:
    // signalFin: what the child gets when the test dies (SIGQUIT lets a
    // PostgreSQL postmaster end its backends and free its shared memory).
    explicit ProcessusLie(int signalFin = SIGKILL)
        : signalFin(signalFin)
    {
    }

    ~ProcessusLie() override { arreter(); }

    // Runs the child as another user; the switch happens before the death
    // signal is set, since the kernel clears it when credentials change.
    void executerComme(uid_t uid, gid_t gid)
    {
        utilisateur = uid;
        groupe = gid;
        changerUtilisateur = true;
    }

    // As an administrator would: SIGTERM, then SIGKILL if it does not end.
    void terminer()
    {
        if (state() == QProcess::NotRunning)
            return;
        terminate();
        if (!waitForFinished(30000))
            arreter();
    }

    void arreter()
    {
        if (state() == QProcess::NotRunning)
            return;
        kill();
        waitForFinished(30000);
    }

protected:
    void setupChildProcess() override
    {
        if (changerUtilisateur
            && (::setgroups(0, nullptr) != 0 || ::setgid(groupe) != 0 || ::setuid(utilisateur) != 0))
            ::_exit(127);
        ::prctl(PR_SET_PDEATHSIG, signalFin);
        // The test may have died before the line above: nobody would signal us then.
        if (::getppid() != parent)
            ::_exit(127);
    }

private:
    const pid_t parent = ::getpid();
    int signalFin;
    bool changerUtilisateur = false;
    uid_t utilisateur = 0;
    gid_t groupe = 0;
};

#endif
