#include "server/reseau/sentinelle.h"

#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <vector>

#include <sys/socket.h>

namespace {

constexpr int intervalleTicMs = 250;

struct Prise
{
    int descripteur;
    Attente attente;
};

std::mutex verrouPrises;
std::vector<Prise> prises;
// The bank thread's call in progress: its number, and when it started (0: none).
std::atomic<unsigned long long> numeroAppel{0};
std::atomic<long long> debutAppel{0};

long long maintenantMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The thread is held in a call on one of them: whichever it is, it fails.
void couperPrises(Attente attente, int delaiMs)
{
    const std::lock_guard<std::mutex> garde(verrouPrises);
    const bool aucune = std::none_of(prises.cbegin(), prises.cend(),
                                     [attente](const Prise &prise) { return prise.attente == attente; });
    if (aucune)
        return;
    // The loss that follows is logged with libpq's words, which do not say why.
    qWarning("the database did not answer within %d ms: %s connections are cut", delaiMs,
             attente == Attente::Boucle ? "the loop's" : "the bank's");
    for (const Prise &prise : prises) {
        if (prise.attente == attente)
            ::shutdown(prise.descripteur, SHUT_RDWR);
    }
}

} // namespace

void surveillerPrise(int prise, Attente attente)
{
    if (prise < 0)
        return;
    const std::lock_guard<std::mutex> garde(verrouPrises);
    prises.push_back(Prise{prise, attente});
}

void oublierPrise(int prise)
{
    if (prise < 0)
        return;
    const std::lock_guard<std::mutex> garde(verrouPrises);
    const auto trouvee = std::find_if(prises.begin(), prises.end(),
                                      [prise](const Prise &connue) { return connue.descripteur == prise; });
    if (trouvee != prises.end())
        prises.erase(trouvee);
}

void appelCommence()
{
    ++numeroAppel;
    debutAppel = maintenantMs();
}

void appelTermine()
{
    debutAppel = 0;
}

Sentinelle::Sentinelle(asio::io_context &contexte, int delaiMs)
    : tic(contexte, [this] { battre(); })
    , delaiMs(delaiMs)
{
    tic.demarrer(0);
    veilleur = std::thread([this] { veiller(); });
}

Sentinelle::~Sentinelle()
{
    {
        const std::lock_guard<std::mutex> garde(verrou);
        fin = true;
    }
    reveil.notify_one();
    veilleur.join();
}

void Sentinelle::battre()
{
    dernierTic = maintenantMs();
    tic.demarrer(intervalleTicMs);
}

void Sentinelle::veiller()
{
    long long ticCoupe = -1;
    unsigned long long appelCoupe = 0;
    std::unique_lock<std::mutex> garde(verrou);
    while (!reveil.wait_for(garde, std::chrono::milliseconds(intervalleTicMs), [this] { return fin; })) {
        const long long maintenant = maintenantMs();
        veillerBoucle(maintenant, ticCoupe);
        veillerAppels(maintenant, appelCoupe);
    }
}

// Once per stop of the loop: the cut sockets stay cut until their owner reconnects.
void Sentinelle::veillerBoucle(long long maintenant, long long &ticCoupe)
{
    const long long tic = dernierTic;
    if (tic == 0 || tic == ticCoupe || maintenant - tic < delaiMs)
        return;
    ticCoupe = tic;
    couperPrises(Attente::Boucle, delaiMs);
}

// Once per call: the bank's thread is not ticking while it waits for nothing.
void Sentinelle::veillerAppels(long long maintenant, unsigned long long &appelCoupe)
{
    const unsigned long long numero = numeroAppel;
    const long long debut = debutAppel;
    if (debut == 0 || numero == appelCoupe || maintenant - debut < delaiMs)
        return;
    appelCoupe = numero;
    couperPrises(Attente::Appels, delaiMs);
}
