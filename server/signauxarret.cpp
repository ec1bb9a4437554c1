#include "server/signauxarret.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The handler may only write a byte; the event loop does the rest.
int paire[2] = {-1, -1};

void surSignal(int)
{
    const char octet = 1;
    [[maybe_unused]] const ssize_t ecrit = ::write(paire[0], &octet, 1);
}

} // namespace

SignauxArret::SignauxArret(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, paire) != 0)
        return;
    notificateur = new QSocketNotifier(paire[1], QSocketNotifier::Read, this);
    connect(notificateur, &QSocketNotifier::activated, this, &SignauxArret::signalRecu);

    struct sigaction action = {};
    action.sa_handler = surSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

SignauxArret::~SignauxArret()
{
    if (!notificateur)
        return;
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    delete notificateur;
    ::close(paire[0]);
    ::close(paire[1]);
    paire[0] = paire[1] = -1;
}

void SignauxArret::signalRecu()
{
    char octet = 0;
    [[maybe_unused]] const ssize_t lu = ::read(paire[1], &octet, 1);
    emit arretDemande();
}
