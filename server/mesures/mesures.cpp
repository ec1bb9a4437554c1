#include "server/mesures/mesures.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

// Prometheus' default buckets: from a key derivation's tens of milliseconds
// to a database that makes a request wait for seconds.
constexpr std::array<double, 11> limitesSecondes{0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};

struct Histogramme
{
    std::array<quint64, limitesSecondes.size()> seaux{};
    quint64 nombre = 0;
    double somme = 0;

    void observer(double secondes)
    {
        for (std::size_t i = 0; i < limitesSecondes.size(); ++i) {
            if (secondes <= limitesSecondes[i])
                ++seaux[i];
        }
        ++nombre;
        somme += secondes;
    }
};

// The reasons that end a request of each kind, as the journal names them.
constexpr const char *motifsIdentification[] = {"wrong-key", "busy", "account-creations", "malformed-credentials"};
constexpr const char *motifsVirement[] = {"insufficient-balance", "recipient-ceiling", "unknown-recipient",
                                          "offline-recipient", "malformed-transfer", "foreign-transfer",
                                          "not-authenticated"};

template <std::size_t N>
bool parmi(const char *motif, const char *const (&motifs)[N])
{
    for (const char *connu : motifs) {
        if (std::strcmp(motif, connu) == 0)
            return true;
    }
    return false;
}

// Requests are counted from the loop, a few times each: one lock is
// cheaper than it looks beside a request's system calls (bench/RESULTS.md).
struct Registre
{
    std::mutex verrou;
    // The usual outcomes are there from the start, at 0: a rate needs a first sample.
    std::map<std::string, quint64> identifications{{"accepted", 0}, {"new", 0}, {"wrong-key", 0}, {"busy", 0},
                                                   {"failed", 0}};
    std::map<std::string, quint64> virements{{"done", 0}, {"insufficient-balance", 0}, {"offline-recipient", 0},
                                             {"unknown-recipient", 0}, {"failed", 0}};
    std::map<std::string, quint64> refus;
    Histogramme dureesIdentification;
    Histogramme dureesVirement;
    qint64 connexions = 0;
    qint64 verifications = 0;
    qint64 appelsBase = 0;
    bool baseEnService = true;
    quint64 reconnexions = 0;
    quint64 avisEnvoyes = 0;
    quint64 avisRejoues = 0;
};

Registre &registre()
{
    static Registre unique;
    return unique;
}

// Label values are the server's own words; escaped all the same, as the format asks.
std::string echapper(const std::string &valeur)
{
    std::string sortie;
    for (const char c : valeur) {
        if (c == '\\' || c == '"')
            sortie += '\\';
        if (c == '\n') {
            sortie += "\\n";
            continue;
        }
        sortie += c;
    }
    return sortie;
}

void entete(std::string &texte, const char *nom, const char *type, const char *aide)
{
    texte += std::string("# HELP ") + nom + ' ' + aide + "\n# TYPE " + nom + ' ' + type + '\n';
}

void famille(std::string &texte, const char *nom, const char *etiquette, const std::map<std::string, quint64> &valeurs,
             const char *aide)
{
    entete(texte, nom, "counter", aide);
    for (const auto &[cle, valeur] : valeurs)
        texte += std::string(nom) + '{' + etiquette + "=\"" + echapper(cle) + "\"} " + std::to_string(valeur) + '\n';
}

void simple(std::string &texte, const char *nom, const char *type, long long valeur, const char *aide)
{
    entete(texte, nom, type, aide);
    texte += std::string(nom) + ' ' + std::to_string(valeur) + '\n';
}

std::string nombreReel(double valeur)
{
    char tampon[32];
    std::snprintf(tampon, sizeof tampon, "%.9g", valeur);
    return tampon;
}

void histogramme(std::string &texte, const char *nom, const Histogramme &h, const char *aide)
{
    entete(texte, nom, "histogram", aide);
    const std::string base(nom);
    for (std::size_t i = 0; i < limitesSecondes.size(); ++i)
        texte += base + "_bucket{le=\"" + nombreReel(limitesSecondes[i]) + "\"} " + std::to_string(h.seaux[i]) + '\n';
    texte += base + "_bucket{le=\"+Inf\"} " + std::to_string(h.nombre) + '\n';
    texte += base + "_sum " + nombreReel(h.somme) + '\n';
    texte += base + "_count " + std::to_string(h.nombre) + '\n';
}

} // namespace

void compterRefus(const char *motif)
{
    Registre &r = registre();
    const std::lock_guard<std::mutex> garde(r.verrou);
    ++r.refus[motif];
    if (parmi(motif, motifsIdentification))
        ++r.identifications[motif];
    else if (parmi(motif, motifsVirement))
        ++r.virements[motif];
}

void compterEvenement(const char *evenement)
{
    Registre &r = registre();
    const std::lock_guard<std::mutex> garde(r.verrou);
    if (std::strcmp(evenement, "transfer") == 0)
        ++r.virements["done"];
    else if (std::strcmp(evenement, "authenticated") == 0)
        ++r.identifications["accepted"];
    else if (std::strcmp(evenement, "created") == 0)
        ++r.identifications["new"];
}

void compterIdentificationEchouee()
{
    Registre &r = registre();
    const std::lock_guard<std::mutex> garde(r.verrou);
    ++r.identifications["failed"];
}

void compterVirementEchoue(const char *issue)
{
    Registre &r = registre();
    const std::lock_guard<std::mutex> garde(r.verrou);
    ++r.virements[issue];
}

void observerIdentification(double secondes)
{
    Registre &r = registre();
    const std::lock_guard<std::mutex> garde(r.verrou);
    r.dureesIdentification.observer(secondes);
}

void observerVirement(double secondes)
{
    Registre &r = registre();
    const std::lock_guard<std::mutex> garde(r.verrou);
    r.dureesVirement.observer(secondes);
}

void varierConnexions(int pas)
{
    Registre &r = registre();
    const std::lock_guard<std::mutex> garde(r.verrou);
    r.connexions += pas;
}

void varierVerifications(int pas)
{
    Registre &r = registre();
    const std::lock_guard<std::mutex> garde(r.verrou);
    r.verifications += pas;
}

void varierAppelsBase(int pas)
{
    Registre &r = registre();
    const std::lock_guard<std::mutex> garde(r.verrou);
    r.appelsBase += pas;
}

void noterBase(bool enService)
{
    Registre &r = registre();
    const std::lock_guard<std::mutex> garde(r.verrou);
    r.baseEnService = enService;
}

void compterReconnexionBase()
{
    Registre &r = registre();
    const std::lock_guard<std::mutex> garde(r.verrou);
    ++r.reconnexions;
}

void compterAvisEnvoyes(int nombre)
{
    Registre &r = registre();
    const std::lock_guard<std::mutex> garde(r.verrou);
    r.avisEnvoyes += quint64(nombre);
}

void compterAvisRejoues(int nombre)
{
    Registre &r = registre();
    const std::lock_guard<std::mutex> garde(r.verrou);
    r.avisRejoues += quint64(nombre);
}

QByteArray texteMesures()
{
    Registre &r = registre();
    std::string texte;
    const std::lock_guard<std::mutex> garde(r.verrou);
    famille(texte, "qovi_logins_total", "outcome", r.identifications,
            "Logins answered, by outcome: accepted, new (account created), failed (database), or the refusal's "
            "reason.");
    famille(texte, "qovi_transfers_total", "outcome", r.virements,
            "Transfers answered, by outcome: done, failed or uncertain (database), or the refusal's reason.");
    famille(texte, "qovi_refusals_total", "reason", r.refus, "Requests and connections refused, by the reason logged.");
    histogramme(texte, "qovi_login_duration_seconds", r.dureesIdentification,
                "Time from a login read to its answer sent (a wrong key's answer is slowed down on purpose).");
    histogramme(texte, "qovi_transfer_duration_seconds", r.dureesVirement,
                "Time from a transfer read to its answer sent.");
    simple(texte, "qovi_connections_open", "gauge", r.connexions, "Client connections open.");
    simple(texte, "qovi_key_checks_pending", "gauge", r.verifications,
           "Key checks and derivations queued or running.");
    simple(texte, "qovi_database_calls_pending", "gauge", r.appelsBase,
           "Calls handed to the database's thread and not yet answered: it grows while the database hangs.");
    simple(texte, "qovi_database_up", "gauge", r.baseEnService ? 1 : 0,
           "1 while the database works, 0 while it is lost or failing.");
    simple(texte, "qovi_database_reconnections_total", "counter", (long long)r.reconnexions,
           "Database connections opened again after a loss.");
    simple(texte, "qovi_notices_sent_total", "counter", (long long)r.avisEnvoyes,
           "Money-received notices (r:) handed to connected clients.");
    simple(texte, "qovi_notices_replayed_total", "counter", (long long)r.avisRejoues,
           "Notices sent late, read again from the database after its notifications were lost.");
    return QByteArray(texte.data(), int(texte.size()));
}
