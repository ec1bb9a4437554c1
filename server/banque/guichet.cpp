#include "server/banque/guichet.h"

#include "server/reseau/sentinelle.h"

Guichet::Guichet(asio::io_context &boucle, Banque &banque)
    : boucle(boucle)
    , banque(banque)
    , fil([this] { servir(); })
{
}

Guichet::~Guichet()
{
    arreter();
}

void Guichet::arreter()
{
    {
        const std::lock_guard<std::mutex> garde(verrou);
        fin = true;
        appels.clear();
    }
    reveil.notify_one();
    if (fil.joinable())
        fil.join();
}

void Guichet::poster(std::function<void()> appel)
{
    {
        const std::lock_guard<std::mutex> garde(verrou);
        if (fin)
            return;
        appels.push_back(std::move(appel));
    }
    reveil.notify_one();
}

void Guichet::servir()
{
    std::unique_lock<std::mutex> garde(verrou);
    for (;;) {
        reveil.wait(garde, [this] { return fin || !appels.empty(); });
        if (fin)
            break;
        std::function<void()> appel = std::move(appels.front());
        appels.pop_front();
        garde.unlock();
        appelCommence();
        appel();
        appelTermine();
        garde.lock();
    }
    garde.unlock();
    // The last call, bounded like the others.
    appelCommence();
    banque.clore();
    appelTermine();
}
