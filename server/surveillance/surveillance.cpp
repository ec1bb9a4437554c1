#include "server/surveillance/surveillance.h"

#include "server/mesures/mesures.h"
#include "server/reseau/liaison.h"
#include "server/surveillance/http.h"


namespace {

const QByteArray typeTexte = "text/plain; charset=utf-8";
// What a client still sends after its answer is dropped for this long, so
// that it reads the answer instead of losing it to a reset.
constexpr int delaiFermetureMs = 1000;

} // namespace

Surveillance::Surveillance(asio::io_context &contexte, std::function<QString()> raisonIndisponible)
    : contexte(contexte)
    , ecoute(contexte)
    , raisonIndisponible(std::move(raisonIndisponible))
{
    ecoute.surConnexion = [this](std::shared_ptr<Liaison> liaison) { accueillir(std::move(liaison)); };
}

Surveillance::~Surveillance()
{
    for (const auto &visite : qAsConst(visites))
        visite->liaison->abandonner();
}

bool Surveillance::ecouter(const QString &adresse, quint16 port)
{
    return ecoute.ecouter(adresse, port);
}

void Surveillance::accueillir(std::shared_ptr<Liaison> liaison)
{
    if (visites.size() >= maxVisites) {
        liaison->abandonner();
        ecoute.liberee();
        return;
    }
    Liaison *cle = liaison.get();
    auto visite = std::make_shared<Visite>();
    visite->liaison = std::move(liaison);
    visite->delai = std::make_unique<Minuterie>(contexte, [cle] { cle->couper(); });
    visite->delai->demarrer(delaiVisiteMs);
    cle->surDonnees = [this, cle](const char *octets, std::size_t taille) { recevoir(cle, octets, taille); };
    cle->surFermeture = [this, cle] { oublier(cle); };
    visites.insert(cle, visite);
    cle->attendreDonnees(tailleMaxDemandeHttp + 1);
}

void Surveillance::recevoir(Liaison *liaison, const char *octets, std::size_t taille)
{
    const auto visite = visites.value(liaison);
    if (!visite || visite->repondue)
        return;
    visite->recu.append(octets, int(taille));
    const DemandeHttp demande = lireDemandeHttp(visite->recu);
    switch (demande.etat) {
    case DemandeHttp::Etat::Incomplete:
        liaison->attendreDonnees(std::size_t(tailleMaxDemandeHttp + 1 - visite->recu.size()) + 1);
        return;
    case DemandeHttp::Etat::Invalide:
        repondre(*visite, reponseHttp(400, typeTexte, "bad request\n"));
        return;
    case DemandeHttp::Etat::Complete:
        repondre(*visite, reponsePour(demande.methode, demande.chemin));
        return;
    }
}

QByteArray Surveillance::reponsePour(const QByteArray &methode, const QByteArray &chemin) const
{
    const bool tete = methode == "HEAD";
    if (chemin != "/health" && chemin != "/metrics")
        return reponseHttp(404, typeTexte, "not found: try /health or /metrics\n", !tete);
    if (methode != "GET" && !tete)
        return reponseHttp(405, typeTexte, "only GET and HEAD\n", true, "Allow: GET, HEAD\r\n");
    if (chemin == "/metrics")
        return reponseHttp(200, typeTexteMesures, texteMesures(), !tete);
    const QString raison = raisonIndisponible ? raisonIndisponible() : QString();
    if (raison.isEmpty())
        return reponseHttp(200, typeTexte, "ok\n", !tete);
    return reponseHttp(503, typeTexte, raison.toUtf8() + '\n', !tete);
}

void Surveillance::repondre(Visite &visite, const QByteArray &reponse)
{
    visite.repondue = true;
    visite.delai->arreter();
    visite.liaison->envoyer(reponse);
    visite.liaison->terminer(delaiFermetureMs);
}

void Surveillance::oublier(Liaison *liaison)
{
    if (!visites.remove(liaison))
        return;
    ecoute.liberee();
}
