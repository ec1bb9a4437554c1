#include "server/acces/limitesconnexions.h"

bool ConnexionsParAdresse::ouvrir(const QString &adresse)
{
    int &depuisAdresse = ouvertes[adresse];
    if (depuisAdresse >= limite)
        return false;
    ++depuisAdresse;
    return true;
}

void ConnexionsParAdresse::fermer(const QString &adresse)
{
    const auto depuisAdresse = ouvertes.find(adresse);
    if (depuisAdresse != ouvertes.end() && --*depuisAdresse <= 0)
        ouvertes.erase(depuisAdresse);
}
