// Throughput of the codec on a transfer request (66 units, tag included) and on
// the longest text a frame holds (8191 units), called as the product calls them
// (with a text whose passing costs no reference counting), against two floors measured in
// the same run: memcpy of as many bytes as the operation writes or reads, and a
// new QString of the size the operation returns, made by allocation and copy
// (what any codec returning a fresh QString must pay at least).

#include "wire/codec.h"
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

// A copy of texte with static data, as a string literal has: passing it by
// value costs no reference counting, as when the product hands the codec a
// temporary (a reply just read, a request just built).
QString texteStatique(const QString &texte)
{
    QStringData *donnees = QStringData::allocate(uint(texte.size()) + 1);
    donnees->size = texte.size();
    std::memcpy(donnees->data(), texte.constData(), size_t(texte.size()) * 2);
    donnees->data()[texte.size()] = 0;
    donnees->ref.atomic.storeRelaxed(-1); // static: never counted, never freed
    return QString(QStringDataPtr{donnees});
}

void brouillerTexte(benchmark::State &etat)
{
    const QString texte = texteStatique(texteDeTaille(int(etat.range(0))));
    for (auto _ : etat) {
        QString resultat = brouiller(texte);
        benchmark::DoNotOptimize(resultat.constData());
    }
    etat.SetItemsProcessed(etat.iterations() * texte.size());
}

void debrouillerTexte(benchmark::State &etat)
{
    const QString brouille = texteStatique(brouiller(texteDeTaille(int(etat.range(0)))));
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

// A new QString of range(0) units, allocated and copied from units made once.
void nouvelleChaine(benchmark::State &etat)
{
    const int taille = int(etat.range(0));
    const QString source(taille, QLatin1Char('x'));
    for (auto _ : etat) {
        benchmark::DoNotOptimize(source.constData());
        QString copie(source.constData(), taille);
        benchmark::DoNotOptimize(copie.constData());
    }
}

} // namespace

// Output bytes: brouiller writes 4 units (8 bytes) per unit, debrouiller 1 unit (2 bytes).
// The larger copies also serve as the size of debrouiller's input.
BENCHMARK(brouillerTexte)->Arg(66)->Arg(8191);
BENCHMARK(debrouillerTexte)->Arg(66)->Arg(8191);
BENCHMARK(copierOctets)->Arg(66 * 8)->Arg(8191 * 8)->Arg(66 * 2)->Arg(8191 * 2);
// The units each operation returns: 4 per unit for brouiller, 1 for debrouiller.
BENCHMARK(nouvelleChaine)->Arg(66 * 4)->Arg(66)->Arg(8191 * 4)->Arg(8191);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    Collecteur collecteur;
    benchmark::RunSpecifiedBenchmarks(&collecteur);

    const struct
    {
        const char *operation;
        int unites;
        const char *base;
        int tailleBase;
        const char *aim;
    } lignes[] = {
        {"brouiller", 66, "nouvelleChaine", 66 * 4, "2×"},
        {"brouiller", 66, "copierOctets", 66 * 8, ""},
        {"brouiller", 8191, "copierOctets", 8191 * 8, "4×"},
        {"brouiller", 8191, "nouvelleChaine", 8191 * 4, ""},
        {"debrouiller", 66, "nouvelleChaine", 66, "2×"},
        {"debrouiller", 66, "copierOctets", 66 * 8, ""},
        // debrouiller reads four times what it writes: memcpy of its input, then of its output.
        {"debrouiller", 8191, "copierOctets", 8191 * 8, "4×"},
        {"debrouiller", 8191, "copierOctets", 8191 * 2, ""},
        {"debrouiller", 8191, "nouvelleChaine", 8191, ""},
    };
    for (const auto &ligne : lignes) {
        const std::string nom = std::string(ligne.operation) + "Texte/" + std::to_string(ligne.unites);
        const std::string base = std::string(ligne.base) + "/" + std::to_string(ligne.tailleBase);
        if (!collecteur.mediane.count(nom) || !collecteur.mediane.count(base))
            continue;
        const double ns = collecteur.mediane[nom].nanosecondes;
        const double nsBase = collecteur.mediane[base].nanosecondes;
        const std::string nomBase = std::string(ligne.base) == "copierOctets"
            ? "memcpy of " + std::to_string(ligne.tailleBase) + " bytes"
            : "new QString of " + std::to_string(ligne.tailleBase) + " units";
        ligneTableau(std::string("`") + ligne.operation + "` on " + std::to_string(ligne.unites) + " units"
                         + (*ligne.aim ? std::string(" (aim ") + ligne.aim + ")" : std::string()),
                     formater("%.1f M units/s", ligne.unites / ns * 1e3) + formater(" (%.0f ns)", ns), nomBase,
                     formater("%.0f ns", nsBase), ns / nsBase);
    }
    return 0;
}
