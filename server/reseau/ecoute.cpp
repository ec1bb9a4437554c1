#include "server/reseau/ecoute.h"

#include "server/reseau/descripteurs.h"
#include "server/reseau/liaison.h"

#include <QDebug>

#include <cerrno>

namespace {

// Descriptors kept for everything but the connections: the database's
// files or sockets, the log, a connection being refused.
constexpr int reserveDescripteurs = 32;
// Accepting starts again once this share of the connections allowed is free,
// so that a server held at its limit does not log every connection.
constexpr int fractionReprise = 16;
// How long to wait when the system itself has no descriptor or memory to give.
constexpr int delaiManqueMs = 200;

bool estManque(const asio::error_code &erreur)
{
    const int valeur = erreur.value();
    return erreur.category() == asio::system_category()
           && (valeur == EMFILE || valeur == ENFILE || valeur == ENOBUFS || valeur == ENOMEM);
}

} // namespace

Ecoute::Ecoute(asio::io_context &contexte)
    : accepteur(contexte)
    , minuterieReprise(contexte, [this] { reprendre(); })
{
}

Ecoute::~Ecoute()
{
    asio::error_code ignoree;
    accepteur.close(ignoree);
}

bool Ecoute::ecouter(const QString &adresse, quint16 port)
{
    asio::error_code erreur;
    const asio::ip::address ip = asio::ip::make_address(adresse.toStdString(), erreur);
    const asio::ip::tcp::endpoint extremite(ip, port);
    if (!erreur)
        accepteur.open(extremite.protocol(), erreur);
    if (!erreur)
        accepteur.set_option(asio::socket_base::reuse_address(true), erreur);
    if (!erreur)
        accepteur.bind(extremite, erreur);
    if (!erreur)
        accepteur.listen(asio::socket_base::max_listen_connections, erreur);
    if (erreur) {
        derniereErreur = QString::fromStdString(erreur.message());
        asio::error_code ignoree;
        accepteur.close(ignoree);
        return false;
    }
    plafond = qMax(1, limiteDescripteurs() - descripteursOuverts() - reserveDescripteurs);
    accepterSuivante();
    return true;
}

asio::ip::tcp::endpoint Ecoute::extremite() const
{
    asio::error_code ignoree;
    return accepteur.local_endpoint(ignoree);
}

void Ecoute::liberee()
{
    --ouvertes;
    if (suspendue && !minuterieReprise.estActive() && ouvertes <= plafond - qMax(1, plafond / fractionReprise))
        reprendre();
}

void Ecoute::accepterSuivante()
{
    if (enAttente || suspendue || !accepteur.is_open())
        return;
    if (ouvertes >= plafond) {
        suspendre(QStringLiteral("%1 connections open, near the limit of %2 descriptors")
                      .arg(ouvertes)
                      .arg(limiteDescripteurs()));
        return;
    }
    enAttente = true;
    accepteur.async_accept([this](const asio::error_code &erreur, asio::ip::tcp::socket socket) {
        acceptee(erreur, std::move(socket));
    });
}

void Ecoute::acceptee(const asio::error_code &erreur, asio::ip::tcp::socket socket)
{
    enAttente = false;
    if (erreur == asio::error::operation_aborted || !accepteur.is_open())
        return;
    if (estManque(erreur)) {
        suspendre(QStringLiteral("the system refused a descriptor (%1)").arg(QString::fromStdString(erreur.message())));
        minuterieReprise.demarrer(delaiManqueMs);
        return;
    }
    if (!erreur) {
        ++ouvertes;
        if (episode) {
            episode = false;
            qInfo().noquote() << QStringLiteral("accepting connections again (%1 open)").arg(ouvertes);
        }
        if (surConnexion)
            surConnexion(Liaison::creer(std::move(socket)));
    }
    accepterSuivante();
}

// Logged once for each time the server stops accepting, however long it lasts.
void Ecoute::suspendre(const QString &raison)
{
    suspendue = true;
    if (episode)
        return;
    episode = true;
    qWarning().noquote() << QStringLiteral("not accepting connections: %1").arg(raison);
}

void Ecoute::reprendre()
{
    if (!suspendue)
        return;
    suspendue = false;
    accepterSuivante();
}
