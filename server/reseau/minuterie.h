#ifndef MINUTERIE_H
#define MINUTERIE_H

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <functional>
#include <memory>

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

#endif
