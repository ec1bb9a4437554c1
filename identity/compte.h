#ifndef COMPTE_H
#define COMPTE_H

#include <QString>
#include <QStringList>

// The account number is the first hardware address, in the platform's order of
// interfaces, that has six pairs and is neither all zeros nor all F; empty if none.
QString choisirCompte(const QStringList &adressesMateriel);

// The installation's account number. When none can be found, tells the user,
// asks the application to quit and returns an empty text.
QString identifiantCompte();

#endif
