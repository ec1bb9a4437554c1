#include "server/acces/lignesbornees.h"

LignesBornees::LignesBornees(int maxSources, qint64 periodeMs)
    : maxSources(maxSources)
    , periodeMs(periodeMs)
{
}

bool LignesBornees::aEcrire(const QString &source, qint64 maintenant, int *taisus)
{
    *taisus = 0;
    auto etat = sources.find(source);
    if (etat != sources.end() && maintenant - etat->derniereLigne < periodeMs) {
        ++etat->taisus;
        return false;
    }
    if (etat == sources.end()) {
        if (sources.size() >= maxSources)
            elaguer(maintenant);
        if (sources.size() >= maxSources)
            return true;
        etat = sources.insert(source, Etat());
    }
    *taisus = etat->taisus;
    etat->taisus = 0;
    etat->derniereLigne = maintenant;
    return true;
}

void LignesBornees::elaguer(qint64 maintenant)
{
    for (auto etat = sources.begin(); etat != sources.end();) {
        if (maintenant - etat->derniereLigne >= periodeMs)
            etat = sources.erase(etat);
        else
            ++etat;
    }
}
