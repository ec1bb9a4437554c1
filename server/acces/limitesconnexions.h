#ifndef LIMITESCONNEXIONS_H
#define LIMITESCONNEXIONS_H

#include <QHash>
#include <QString>

// What one account, or one address, may hold open at once: enough for a
// person's devices, or for the people behind one address.
struct LimitesConnexions
{
    int parCompte = 64;
    int parAdresse = 256;
};

// The connections open from each address, held to its limit.
class ConnexionsParAdresse
{
public:
    explicit ConnexionsParAdresse(int limite) : limite(limite) {}

    // Counts one more connection from adresse; false, counting nothing, when
    // the address holds its limit already.
    bool ouvrir(const QString &adresse);
    // One counted connection from adresse has closed.
    void fermer(const QString &adresse);

private:
    int limite;
    QHash<QString, int> ouvertes;
};

#endif
