#include "server/reseau/liaison.h"

#include <asio/post.hpp>

#include <array>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

// A peer silent for a minute is probed every 10 s; after 6 unanswered probes
// the connection is dropped and its slot freed.
constexpr int keepaliveRepos = 60;
constexpr int keepaliveIntervalle = 10;
constexpr int keepaliveSondes = 6;

// The loop runs on one thread: every read goes through this buffer, and what
// a connection keeps of it is copied by its owner.
std::array<char, 64 * 1024> tamponLecture;

bool estAttente(const asio::error_code &erreur)
{
    return erreur == asio::error::would_block || erreur == asio::error::try_again;
}

void regler(asio::ip::tcp::socket &socket)
{
    asio::error_code ignoree;
    socket.non_blocking(true, ignoree);
    // Replies are small and sent at once: held back until the previous one is
    // acknowledged, they would wait for the client's delayed acknowledgement (40 ms).
    socket.set_option(asio::ip::tcp::no_delay(true), ignoree);
    socket.set_option(asio::socket_base::keep_alive(true), ignoree);
    const int descripteur = socket.native_handle();
    ::setsockopt(descripteur, IPPROTO_TCP, TCP_KEEPIDLE, &keepaliveRepos, sizeof keepaliveRepos);
    ::setsockopt(descripteur, IPPROTO_TCP, TCP_KEEPINTVL, &keepaliveIntervalle, sizeof keepaliveIntervalle);
    ::setsockopt(descripteur, IPPROTO_TCP, TCP_KEEPCNT, &keepaliveSondes, sizeof keepaliveSondes);
}

} // namespace

std::shared_ptr<Liaison> Liaison::creer(asio::ip::tcp::socket socket)
{
    regler(socket);
    return std::make_shared<Liaison>(std::move(socket));
}

Liaison::Liaison(asio::ip::tcp::socket socket)
    : socket(std::move(socket))
    , minuterieFermeture(this->socket.get_executor())
{
    asio::error_code ignoree;
    distant = this->socket.remote_endpoint(ignoree);
}

Liaison::~Liaison()
{
    asio::error_code ignoree;
    socket.close(ignoree);
}

asio::io_context &Liaison::contexte()
{
    return static_cast<asio::io_context &>(socket.get_executor().context());
}

QString Liaison::adresseDistante() const
{
    return client.isEmpty() ? adressePair() : client;
}

void Liaison::relayer(const QString &adresse, quint16 port)
{
    client = adresse;
    portClient = port;
}

QString Liaison::adressePair() const
{
    asio::ip::address adresse = distant.address();
    // A client of IPv4 reaching a server that listens on IPv6 is still one IPv4 address.
    if (adresse.is_v6() && adresse.to_v6().is_v4_mapped())
        adresse = asio::ip::make_address_v4(asio::ip::v4_mapped, adresse.to_v6());
    return QString::fromStdString(adresse.to_string());
}

void Liaison::attendreDonnees(std::size_t maxOctets)
{
    maxLecture = qMin(maxOctets, tamponLecture.size());
    veille = false;
    armerLecture();
}

void Liaison::veiller(bool jeter)
{
    veille = true;
    jeterEnVeille = jeter;
    armerLecture();
}

// A peer's data that is kept stays in the kernel; then only a close is
// looked for, and once data waits there is nothing more to watch until it is read.
void Liaison::veilleLisible()
{
    char octet = 0;
    const ssize_t lus = jeterEnVeille
                            ? ::recv(socket.native_handle(), tamponLecture.data(), tamponLecture.size(), MSG_DONTWAIT)
                            : ::recv(socket.native_handle(), &octet, 1, MSG_PEEK | MSG_DONTWAIT);
    if (lus == 0 || (lus < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        fermer();
        return;
    }
    if (lus < 0 || jeterEnVeille)
        armerLecture();
}

void Liaison::armerLecture()
{
    if (lectureArmee || !socket.is_open())
        return;
    lectureArmee = true;
    socket.async_wait(asio::socket_base::wait_read,
                      [soi = shared_from_this()](const asio::error_code &erreur) { soi->lisible(erreur); });
}

void Liaison::lisible(const asio::error_code &erreur)
{
    lectureArmee = false;
    if (!socket.is_open())
        return;
    if (erreur) {
        fermer();
        return;
    }
    if (veille && !fermetureDemandee) {
        veilleLisible();
        return;
    }
    // Once closing, what comes is read only to be dropped.
    const std::size_t place = fermetureDemandee ? tamponLecture.size() : maxLecture;
    asio::error_code echec;
    const std::size_t lus = socket.read_some(asio::buffer(tamponLecture.data(), place), echec);
    if (estAttente(echec)) {
        armerLecture();
        return;
    }
    if (echec || lus == 0) {
        fermer();
        return;
    }
    if (fermetureDemandee) {
        armerLecture();
        return;
    }
    if (surDonnees)
        surDonnees(tamponLecture.data(), lus);
}

void Liaison::envoyer(const QByteArray &octets)
{
    if (!socket.is_open() || envoiFerme || octets.isEmpty())
        return;
    if (!sortie.isEmpty()) {
        sortie += octets;
        return;
    }
    // Sent now, in the caller's turn, rather than once the loop comes back here.
    asio::error_code echec;
    std::size_t ecrits = socket.write_some(asio::buffer(octets.constData(), std::size_t(octets.size())), echec);
    if (estAttente(echec))
        ecrits = 0;
    else if (echec) {
        fermer();
        return;
    }
    if (ecrits == std::size_t(octets.size()))
        return;
    sortie = octets.mid(int(ecrits));
    armerEcriture();
}

void Liaison::armerEcriture()
{
    if (ecritureArmee || !socket.is_open())
        return;
    ecritureArmee = true;
    socket.async_wait(asio::socket_base::wait_write,
                      [soi = shared_from_this()](const asio::error_code &erreur) { soi->inscriptible(erreur); });
}

void Liaison::inscriptible(const asio::error_code &erreur)
{
    ecritureArmee = false;
    if (!socket.is_open())
        return;
    if (erreur) {
        fermer();
        return;
    }
    asio::error_code echec;
    const std::size_t ecrits = socket.write_some(asio::buffer(sortie.constData(), std::size_t(sortie.size())), echec);
    if (echec && !estAttente(echec)) {
        fermer();
        return;
    }
    sortie.remove(0, int(ecrits));
    if (!sortie.isEmpty()) {
        armerEcriture();
        return;
    }
    sortie = QByteArray();
    if (fermetureDemandee)
        fermerEnvoi();
}

void Liaison::terminer(int delaiMs)
{
    if (fermetureDemandee || !socket.is_open())
        return;
    fermetureDemandee = true;
    minuterieFermeture.expires_after(std::chrono::milliseconds(delaiMs));
    minuterieFermeture.async_wait([soi = shared_from_this()](const asio::error_code &erreur) {
        if (!erreur)
            soi->fermer();
    });
    if (sortie.isEmpty())
        fermerEnvoi();
    armerLecture();
}

void Liaison::fermerEnvoi()
{
    envoiFerme = true;
    asio::error_code ignoree;
    socket.shutdown(asio::socket_base::shutdown_send, ignoree);
}

void Liaison::couper()
{
    fermer();
}

void Liaison::fermer()
{
    if (!socket.is_open())
        return;
    asio::error_code ignoree;
    socket.close(ignoree);
    minuterieFermeture.cancel();
    sortie = QByteArray();
    // Never from inside the caller's own call: its owner may be in the middle of something.
    asio::post(contexte(), [soi = shared_from_this()] {
        if (soi->surFermeture)
            soi->surFermeture();
    });
}

void Liaison::abandonner()
{
    surDonnees = nullptr;
    surFermeture = nullptr;
    asio::error_code ignoree;
    socket.close(ignoree);
    minuterieFermeture.cancel();
}
