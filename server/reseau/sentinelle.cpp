#include "server/reseau/sentinelle.h"

#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <vector>

#include <sys/socket.h>

namespace {

constexpr int intervalleTicMs = 250;

std::mutex verrouPrises;
std::vector<int> prises;

long long maintenantMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The loop is held in a call on one of them: whichever it is, it fails.
void couperPrises(int delaiMs)
{
    const std::lock_guard<std::mutex> garde(verrouPrises);
    if (prises.empty())
        return;
    // The loss that follows is logged with libpq's words, which do not say why.
    qWarning("the database did not answer within %d ms: its connections are cut", delaiMs);
    for (const int prise : prises)
        ::shutdown(prise, SHUT_RDWR);
}

} // namespace

void surveillerPrise(int prise)
{
    if (prise < 0)
        return;
    const std::lock_guard<std::mutex> garde(verrouPrises);
    prises.push_back(prise);
}

void oublierPrise(int prise)
{
    if (prise < 0)
        return;
    const std::lock_guard<std::mutex> garde(verrouPrises);
    const auto trouvee = std::find(prises.begin(), prises.end(), prise);
    if (trouvee != prises.end())
        prises.erase(trouvee);
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

// Once per stop of the loop: the cut sockets stay cut until their owner reconnects.
void Sentinelle::veiller()
{
    long long ticCoupe = -1;
    std::unique_lock<std::mutex> garde(verrou);
    while (!reveil.wait_for(garde, std::chrono::milliseconds(intervalleTicMs), [this] { return fin; })) {
        const long long tic = dernierTic;
        if (tic == 0 || tic == ticCoupe || maintenantMs() - tic < delaiMs)
            continue;
        ticCoupe = tic;
        couperPrises(delaiMs);
    }
}
