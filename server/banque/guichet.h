#ifndef GUICHET_H
#define GUICHET_H

#include "server/banque/banque.h"
#include "server/mesures/mesures.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

// The bank's own thread: the loop never waits for its database. Each call is
// handed over here and made in the order given, one at a time, so that a
// connection's requests keep their order and one writer uses the connection;
// its result comes back to the loop with the bank's state as the call left
// it. A call that hangs holds only the calls behind it, and the watchdog
// (server/reseau/sentinelle.h) ends it past its deadline.
class Guichet
{
public:
    Guichet(asio::io_context &boucle, Banque &banque);
    ~Guichet();
    Guichet(const Guichet &) = delete;
    Guichet &operator=(const Guichet &) = delete;

    // travail(Banque &) runs on the bank's thread, then suite(its result) on the loop.
    template <typename Travail, typename Suite>
    void confier(Travail travail, Suite suite);
    // travail's result, waited for: for the opening, before the loop runs.
    template <typename Travail>
    auto attendre(Travail travail);
    // The bank's state after the last call whose result reached the loop.
    const Banque::Constat &constat() const { return dernier; }
    // Waits for the call in progress, drops the others, whose results never
    // come, and closes the bank: before the objects that handed them over go.
    void arreter();

private:
    void poster(std::function<void()> appel);
    void servir();

    asio::io_context &boucle;
    Banque &banque;
    Banque::Constat dernier;
    std::mutex verrou;
    std::condition_variable reveil;
    std::deque<std::function<void()>> appels;
    bool fin = false;
    std::thread fil;
};

template <typename Travail, typename Suite>
void Guichet::confier(Travail travail, Suite suite)
{
    varierAppelsBase(1);
    poster([this, travail = std::move(travail), suite = std::move(suite)]() mutable {
        auto resultat = travail(banque);
        const Banque::Constat constat = banque.constat();
        asio::post(boucle, [this, constat, suite = std::move(suite), resultat = std::move(resultat)]() mutable {
            varierAppelsBase(-1);
            dernier = constat;
            suite(std::move(resultat));
        });
    });
}

template <typename Travail>
auto Guichet::attendre(Travail travail)
{
    std::packaged_task<decltype(travail(banque))()> tache([this, &travail] { return travail(banque); });
    auto resultat = tache.get_future();
    poster([&tache] { tache(); });
    auto valeur = resultat.get();
    dernier = banque.constat();
    return valeur;
}

#endif
