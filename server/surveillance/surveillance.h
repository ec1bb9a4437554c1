#ifndef SURVEILLANCE_H
#define SURVEILLANCE_H

#include "server/reseau/ecoute.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <functional>
#include <memory>

class Liaison;

// The HTTP endpoint for operators, on the server's loop: GET (or HEAD) of
// /health answers 200 "ok" while the server can serve, 503 and the reason
// otherwise; /metrics gives the metrics in Prometheus' text format. Each
// connection gets one answer and is closed. Whoever reaches the port is not
// trusted: requests are small and must come quickly, and only a few
// connections are served at once, the others closed unanswered.
class Surveillance
{
public:
    // raisonIndisponible: empty while the server can serve, else why not, on one line.
    Surveillance(asio::io_context &contexte, std::function<QString()> raisonIndisponible);
    ~Surveillance();
    Surveillance(const Surveillance &) = delete;
    Surveillance &operator=(const Surveillance &) = delete;

    bool ecouter(const QString &adresse, quint16 port);
    QString erreur() const { return ecoute.erreur(); }
    asio::ip::tcp::endpoint extremite() const { return ecoute.extremite(); }

private:
    struct Visite
    {
        std::shared_ptr<Liaison> liaison;
        QByteArray recu;
        std::unique_ptr<Minuterie> delai;
        bool repondue = false;
    };

    void accueillir(std::shared_ptr<Liaison> liaison);
    void recevoir(Liaison *liaison, const char *octets, std::size_t taille);
    void repondre(Visite &visite, const QByteArray &reponse);
    QByteArray reponsePour(const QByteArray &methode, const QByteArray &chemin) const;
    void oublier(Liaison *liaison);

    asio::io_context &contexte;
    Ecoute ecoute;
    std::function<QString()> raisonIndisponible;
    QHash<Liaison *, std::shared_ptr<Visite>> visites;
};

// A slow client is cut after this; a probe answers within a second.
constexpr int delaiVisiteMs = 3000;
constexpr int maxVisites = 16;

#endif
