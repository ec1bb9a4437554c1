// The cost of the server's metrics: the counting that one transfer adds
// (its outcome, its latency, the recipient's notice) and one refusal, against
// what every transfer pays anyway in the same run: scrambling its "s:" reply.
// And one scrape (/metrics's text) with every refusal reason counted.

#include "server/mesures/mesures.h"
#include "rapport.h"
#include "wire/codec.h"

#include <QString>

namespace {

void compterUnVirement(benchmark::State &etat)
{
    for (auto _ : etat) {
        compterEvenement("transfer");
        observerVirement(0.0004);
        compterAvisEnvoyes();
    }
}

void compterUnRefus(benchmark::State &etat)
{
    for (auto _ : etat)
        compterRefus("insufficient-balance");
}

// The reply of a transfer, as the server scrambles it before sending.
void brouillerReponse(benchmark::State &etat)
{
    const QString reponse = QStringLiteral("s:0A1B2C3D4E5F:999999999");
    for (auto _ : etat) {
        QString brouillee = brouiller(reponse);
        benchmark::DoNotOptimize(brouillee.constData());
    }
}

void scruter(benchmark::State &etat)
{
    for (const char *motif :
         {"wrong-key", "malformed-credentials", "malformed-request", "malformed-transfer", "not-authenticated",
          "foreign-transfer", "insufficient-balance", "unknown-recipient", "offline-recipient", "recipient-ceiling",
          "address-connections", "account-connections", "account-creations", "idle-timeout", "unfinished-frame",
          "oversized-frame", "not-reading", "proxy-header", "busy"})
        compterRefus(motif);
    for (auto _ : etat) {
        QByteArray texte = texteMesures();
        benchmark::DoNotOptimize(texte.constData());
    }
}

} // namespace

BENCHMARK(compterUnVirement);
BENCHMARK(compterUnRefus);
BENCHMARK(brouillerReponse);
BENCHMARK(scruter);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    Collecteur collecteur;
    benchmark::RunSpecifiedBenchmarks(&collecteur);
    const auto ns = [&](const char *nom) { return collecteur.mediane[nom].nanosecondes; };
    const double base = ns("brouillerReponse");
    if (base <= 0)
        return 0;
    ligneTableau("metrics counted for one transfer (outcome, latency, notice)",
                 formater("%.0f ns", ns("compterUnVirement")), "scrambling its \"s:\" reply",
                 formater("%.0f ns", base), ns("compterUnVirement") / base);
    ligneTableau("metrics counted for one refusal", formater("%.0f ns", ns("compterUnRefus")),
                 "scrambling a transfer's \"s:\" reply", formater("%.0f ns", base), ns("compterUnRefus") / base);
    ligneTableau("one scrape of /metrics's text (every refusal reason counted)",
                 formater("%.1f µs", ns("scruter") / 1000), "scrambling a transfer's \"s:\" reply",
                 formater("%.0f ns", base), ns("scruter") / base);
    return 0;
}
