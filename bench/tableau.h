#ifndef TABLEAU_H
#define TABLEAU_H

// The rows of the table that scripts/bench.sh prints: each figure beside the
// baseline measured in the same run.

#include <cstdio>
#include <string>

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
