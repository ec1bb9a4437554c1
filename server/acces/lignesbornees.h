#ifndef LIGNESBORNEES_H
#define LIGNESBORNEES_H

#include <QHash>
#include <QString>

// At most one log line per source (an address) and period for one kind of
// refusal, so that a flood cannot fill the log: the refusals not logged are
// counted, and their number goes with the source's next line. The memory is
// bounded: past maxSources, the sources quiet for a period are forgotten (with
// their count), and while all are recent every refusal is logged.
// Times are milliseconds on one monotonic clock, given by the caller.
class LignesBornees
{
public:
    LignesBornees(int maxSources, qint64 periodeMs);

    // Whether this refusal of source is logged; if so, *taisus is how many
    // of its refusals were not, since its last line.
    bool aEcrire(const QString &source, qint64 maintenant, int *taisus);

private:
    struct Etat
    {
        qint64 derniereLigne = 0;
        int taisus = 0;
    };

    void elaguer(qint64 maintenant);

    int maxSources;
    qint64 periodeMs;
    QHash<QString, Etat> sources;
};

#endif
