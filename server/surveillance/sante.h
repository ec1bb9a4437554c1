#ifndef SANTE_H
#define SANTE_H

#include <QElapsedTimer>
#include <QString>

class Banque;
class Serveur;

// Whether the server can serve, for the health probe: its database answers
// and it accepts clients. An idle server would find a lost database only
// with its next request: the probe asks the database itself, at most once a
// second whatever the number of probes.
class Sante
{
public:
    Sante(Banque &banque, const Serveur &serveur);

    // Empty when the server can serve, else why not, on one line.
    QString raisonIndisponible();

private:
    QString sonderBase();

    Banque &banque;
    const Serveur &serveur;
    QElapsedTimer derniereSonde;
    QString raisonSonde;
};

constexpr int intervalleSondeMs = 1000;

#endif
