#ifndef MINUTERIE_H
#define MINUTERIE_H

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <functional>
#include <memory>

class QObject;

// A single-shot timer on the server's loop that calls its action once the
// delay has passed, unless it was stopped, restarted or destroyed meanwhile.
class Minuterie
{
public:
    Minuterie(asio::io_context &contexte, std::function<void()> action);
    ~Minuterie();
    Minuterie(const Minuterie &) = delete;
    Minuterie &operator=(const Minuterie &) = delete;

    void demarrer(int delaiMs);
    void arreter();
    bool estActive() const { return active; }

private:
    void echue(unsigned armement);

    asio::steady_timer horloge;
    std::function<void()> action;
    // A wait that ends after the timer is gone, stopped or restarted finds
    // it so: the token has expired, or the arming number has changed.
    std::shared_ptr<Minuterie *> jeton;
    unsigned armement = 0;
    bool active = false;
};

// Calls action once, delaiMs from now, on the loop of contexte, unless garde
// is gone by then: what QTimer::singleShot(delaiMs, garde, action) does under
// a Qt event loop, which the server does not run.
void plusTard(asio::io_context &contexte, int delaiMs, QObject *garde, std::function<void()> action);

// Calls action on the loop of contexte once the handlers ready now have run,
// unless garde is gone by then: a queued call, without a timer.
void ensuite(asio::io_context &contexte, QObject *garde, std::function<void()> action);

#endif
