// Throughput of the codec on a transfer request (66 units, tag included) and on
// the longest text a frame holds (8191 units), against memcpy of as many bytes
// as the operation produces.

#include "codec/codec.h"
#include "rapport.h"

#include <QString>

#include <cstring>
#include <vector>

namespace {

QString texteDeTaille(int taille)
{
    if (taille == 66)
        return QStringLiteral("v:0A1B2C3D4E5F:1F2E3D4C5B6A:999999999:12345678901234567890:vers101");
    QString texte;
    for (int i = 0; i < taille; ++i)
        texte.append(QChar(ushort(' ' + i % 95)));
    return texte;
}

void brouillerTexte(benchmark::State &etat)
{
    const QString texte = texteDeTaille(int(etat.range(0)));
    for (auto _ : etat) {
        QString resultat = brouiller(texte);
        benchmark::DoNotOptimize(resultat.constData());
    }
    etat.SetItemsProcessed(etat.iterations() * texte.size());
}

void debrouillerTexte(benchmark::State &etat)
{
    const QString brouille = brouiller(texteDeTaille(int(etat.range(0))));
    for (auto _ : etat) {
        QString resultat = debrouiller(brouille);
        benchmark::DoNotOptimize(resultat.constData());
    }
    etat.SetItemsProcessed(etat.iterations() * etat.range(0));
}

// memcpy of range(0) bytes, between buffers made once.
void copierOctets(benchmark::State &etat)
{
    const size_t taille = size_t(etat.range(0));
    std::vector<char> source(taille, 'x'), destination(taille);
    for (auto _ : etat) {
        benchmark::DoNotOptimize(source.data());
        std::memcpy(destination.data(), source.data(), taille);
        benchmark::ClobberMemory();
    }
}

} // namespace

// Output bytes: brouiller writes 4 units (8 bytes) per unit, debrouiller 1 unit (2 bytes).
// The larger copies also serve as the size of debrouiller's input.
BENCHMARK(brouillerTexte)->Arg(66)->Arg(8191);
BENCHMARK(debrouillerTexte)->Arg(66)->Arg(8191);
BENCHMARK(copierOctets)->Arg(66 * 8)->Arg(8191 * 8)->Arg(66 * 2)->Arg(8191 * 2);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    Collecteur collecteur;
    benchmark::RunSpecifiedBenchmarks(&collecteur);

    const struct
    {
        const char *operation;
        int unites;
        int octetsSortie;
    } lignes[] = {{"brouiller", 66, 66 * 8}, {"brouiller", 8191, 8191 * 8},
                  {"debrouiller", 66, 66 * 2}, {"debrouiller", 8191, 8191 * 2},
                  // debrouiller reads four times what it writes: memcpy of its input too.
                  {"debrouiller", 66, 66 * 8}, {"debrouiller", 8191, 8191 * 8}};
    for (const auto &ligne : lignes) {
        const std::string nom = std::string(ligne.operation) + "Texte/" + std::to_string(ligne.unites);
        const std::string base = "copierOctets/" + std::to_string(ligne.octetsSortie);
        if (!collecteur.mediane.count(nom) || !collecteur.mediane.count(base))
            continue;
        const double ns = collecteur.mediane[nom].nanosecondes;
        const double nsBase = collecteur.mediane[base].nanosecondes;
        ligneTableau(std::string("`") + ligne.operation + "` on " + std::to_string(ligne.unites) + " units",
                     formater("%.1f M units/s", ligne.unites / ns * 1e3) + formater(" (%.0f ns)", ns),
                     "memcpy of " + std::to_string(ligne.octetsSortie) + " bytes",
                     formater("%.0f ns", nsBase), ns / nsBase);
    }
    return 0;
}
