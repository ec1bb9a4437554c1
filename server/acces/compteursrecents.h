#ifndef COMPTEURSRECENTS_H
#define COMPTEURSRECENTS_H

#include <QHash>
#include <QString>

#include <list>

// How many events each source (an account, an address) had recently: each
// event counts one, and one is forgotten every periodeMs. The memory is
// bounded: beyond maxSources, the source touched least recently is dropped,
// and a source whose events are all forgotten takes no room.
// Times are milliseconds on one monotonic clock, given by the caller.
class CompteursRecents
{
public:
    CompteursRecents(int maxSources, qint64 periodeMs);
    CompteursRecents(const CompteursRecents &) = delete;
    CompteursRecents &operator=(const CompteursRecents &) = delete;

    // Forgets every event, and forgets the next ones one every periodeMs.
    void changerPeriode(qint64 periodeMs);

    // Counts one event of source; returns how many it has now.
    int compter(const QString &source, qint64 maintenant);
    int nombre(const QString &source, qint64 maintenant) const;
    // When its last event was counted (0 when it has none).
    qint64 dernier(const QString &source, qint64 maintenant) const;
    int taille() const { return int(ordre.size()); }

private:
    struct Compteur
    {
        QString source;
        qint64 videA = 0;   // when every event is forgotten
        qint64 dernier = 0; // when the last one came
    };
    using Ordre = std::list<Compteur>;

    const Compteur *trouver(const QString &source, qint64 maintenant) const;
    void elaguer(qint64 maintenant);

    int maxSources;
    qint64 periodeMs;
    Ordre ordre; // least recently counted first
    QHash<QString, Ordre::iterator> index;
};

// How long a wrong key's answer waits, and its source's next key with it:
// nothing without recent wrong keys, then 1 s doubling up to a minute.
qint64 delaiApresEchecs(int echecs);

// The source a client counts as: its address, or for IPv6 its /64 network,
// which one subscriber usually holds whole.
QString sourceDeAdresse(const QString &adresse);

#endif
