#ifndef SANTE_H
#define SANTE_H

#include <QElapsedTimer>
#include <QString>

class Guichet;
class Serveur;

// Whether the server can serve, for the health probe: its database answers
// and it accepts clients. An idle server would find a lost database only
// with its next request: the probe asks the database itself, at most once a
// second whatever the number of probes, on the bank's thread. A probe is
// answered at once with what the last one found, or with the database not
// answering once a question has waited too long.
class Sante
{
public:
    Sante(Guichet &guichet, const Serveur &serveur);

    // Empty when the server can serve, else why not, on one line.
    QString raisonIndisponible();

private:
    void sonderBase();

    Guichet &guichet;
    const Serveur &serveur;
    QElapsedTimer derniereSonde;
    bool sondeEnCours = false;
    QString raisonSonde;
};

constexpr int intervalleSondeMs = 1000;
// Longer than a busy bank's queue, shorter than HAProxy's checks take to see it.
constexpr int attenteSondeMs = 2000;

#endif
