#ifndef ETATBASE_H
#define ETATBASE_H

#include <QElapsedTimer>
#include <QString>

// Whether the database currently works, so that a failure that lasts (a full
// disk, a database gone) is logged once when it starts and once when it ends,
// not once per request it refuses.
class EtatBase
{
public:
    // In growing order: a lost connection fails reads and writes alike.
    enum class Operation { Lecture, Ecriture, Connexion };

    // Off for the admin commands, which report their own failure.
    void journaliser(bool oui) { actif = oui; }
    void echec(Operation operation, const QString &erreur);
    void reussite(Operation operation);

private:
    bool actif = false;
    bool panne = false;
    // A failed write ends only with a write that succeeds: on a full disk,
    // reads go on working while writes are refused. A lost connection ends
    // only when it is opened again.
    Operation operationEnPanne = Operation::Lecture;
    int refus = 0;
    QElapsedTimer duree;
};

#endif
