#include "server/acces/compteursrecents.h"

#include <QHostAddress>

CompteursRecents::CompteursRecents(int maxSources, qint64 periodeMs)
    : maxSources(qMax(1, maxSources))
    , periodeMs(qMax<qint64>(1, periodeMs))
{
}

void CompteursRecents::changerPeriode(qint64 periode)
{
    periodeMs = qMax<qint64>(1, periode);
    ordre.clear();
    index.clear();
}

int CompteursRecents::compter(const QString &source, qint64 maintenant)
{
    elaguer(maintenant);
    Compteur compteur{source, maintenant, maintenant};
    const auto trouve = index.find(source);
    if (trouve != index.end()) {
        compteur.videA = qMax(maintenant, trouve.value()->videA);
        ordre.erase(trouve.value());
        index.erase(trouve);
    } else if (int(ordre.size()) >= maxSources) {
        index.remove(ordre.front().source);
        ordre.pop_front();
    }
    compteur.videA += periodeMs;
    ordre.push_back(compteur);
    index.insert(source, std::prev(ordre.end()));
    return nombre(source, maintenant);
}

int CompteursRecents::nombre(const QString &source, qint64 maintenant) const
{
    const Compteur *compteur = trouver(source, maintenant);
    if (!compteur)
        return 0;
    return int((compteur->videA - maintenant + periodeMs - 1) / periodeMs);
}

qint64 CompteursRecents::dernier(const QString &source, qint64 maintenant) const
{
    const Compteur *compteur = trouver(source, maintenant);
    return compteur ? compteur->dernier : 0;
}

const CompteursRecents::Compteur *CompteursRecents::trouver(const QString &source, qint64 maintenant) const
{
    const auto trouve = index.constFind(source);
    if (trouve == index.constEnd() || trouve.value()->videA <= maintenant)
        return nullptr;
    return &*trouve.value();
}

// Drops the sources whose events are all forgotten, from the least recently
// counted on, up to the first one still remembered: the rest go when they
// reach the front, or when room is needed.
void CompteursRecents::elaguer(qint64 maintenant)
{
    while (!ordre.empty() && ordre.front().videA <= maintenant) {
        index.remove(ordre.front().source);
        ordre.pop_front();
    }
}

qint64 delaiApresEchecs(int echecs)
{
    if (echecs <= 0)
        return 0;
    return qMin<qint64>(qint64(1000) << qMin(echecs - 1, 6), 60000);
}

QString sourceDeAdresse(const QString &adresse)
{
    QHostAddress hote(adresse);
    bool v4 = false;
    const quint32 ipv4 = hote.toIPv4Address(&v4);
    if (v4)
        return QHostAddress(ipv4).toString();
    if (hote.protocol() != QAbstractSocket::IPv6Protocol)
        return adresse;
    Q_IPV6ADDR octets = hote.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        octets[i] = 0;
    return QHostAddress(octets).toString() + QLatin1String("/64");
}
