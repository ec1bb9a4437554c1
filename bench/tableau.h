#ifndef TABLEAU_H
#define TABLEAU_H

// The rows of the table that scripts/bench.sh prints: each figure beside the
// baseline measured in the same run.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using Horloge = std::chrono::steady_clock;

inline double ms(Horloge::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// The value below which a fraction p of valeurs lies (0 for none).
inline double centile(std::vector<double> valeurs, double p)
{
    if (valeurs.empty())
        return 0;
    std::sort(valeurs.begin(), valeurs.end());
    return valeurs[std::min(valeurs.size() - 1, size_t(p * double(valeurs.size())))];
}

// One row: | figure | value | baseline | baseline value | ratio |
inline void ligneTableau(const std::string &figure, const std::string &valeur, const std::string &base,
                         const std::string &valeurBase, double ratio)
{
    std::printf("| %s | %s | %s | %s | %.2f× |\n", figure.c_str(), valeur.c_str(), base.c_str(),
                valeurBase.c_str(), ratio);
}

inline std::string formater(const char *format, double valeur)
{
    char tampon[64];
    std::snprintf(tampon, sizeof tampon, format, valeur);
    return tampon;
}

#endif
