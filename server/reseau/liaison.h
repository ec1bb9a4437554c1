#ifndef LIAISON_H
#define LIAISON_H

#include <QByteArray>
#include <QString>

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <cstddef>
#include <functional>
#include <memory>

// One accepted TCP connection on the server's loop: reads when asked to,
// sends without waiting (queueing what the peer does not take yet) and
// closes. Nothing is read or held while nobody asks for data, so an idle
// connection costs no buffer. Its pending operations keep it alive after its
// owner lets it go; the owner learns of nothing once it has abandoned it.
class Liaison : public std::enable_shared_from_this<Liaison>
{
public:
    // Takes the socket of a connection just accepted and sets it up: no
    // delay for small replies, keepalive to find peers that vanished.
    static std::shared_ptr<Liaison> creer(asio::ip::tcp::socket socket);
    explicit Liaison(asio::ip::tcp::socket socket);
    ~Liaison();
    Liaison(const Liaison &) = delete;
    Liaison &operator=(const Liaison &) = delete;

    asio::io_context &contexte();
    // The peer's address, or the client's that a trusted proxy gave.
    QString adresseDistante() const;
    quint16 portDistant() const { return client.isEmpty() ? distant.port() : portClient; }
    // The peer's own address, whatever it relays.
    QString adressePair() const;
    // A trusted proxy relays this client: its address stands for the peer's from now on.
    void relayer(const QString &adresse, quint16 port);
    bool estOuverte() const { return socket.is_open(); }

    // Called, from the loop, once with what one read gave (at most
    // maxOctets); ask again for more.
    std::function<void(const char *octets, std::size_t taille)> surDonnees;
    // Called, from the loop, once the connection is closed, whoever closed it.
    std::function<void()> surFermeture;

    void attendreDonnees(std::size_t maxOctets);
    // Until the next attendreDonnees, watches for the peer's close without
    // taking its data, so that a peer gone while its answer is awaited frees
    // its descriptor at once; jeter: what it sends is dropped meanwhile.
    void veiller(bool jeter);
    void envoyer(const QByteArray &octets);
    qint64 enAttenteEnvoi() const { return sortie.size(); }
    // Sends what is queued, closes the sending side and drops whatever the
    // peer still sends until it closes too, or until delaiMs have passed:
    // the peer reads the last reply instead of losing it to a reset.
    void terminer(int delaiMs);
    void couper();
    // The owner is gone: no more calls, and the connection closes now.
    void abandonner();

private:
    void armerLecture();
    void lisible(const asio::error_code &erreur);
    void veilleLisible();
    void armerEcriture();
    void inscriptible(const asio::error_code &erreur);
    void fermerEnvoi();
    void fermer();

    asio::ip::tcp::socket socket;
    asio::ip::tcp::endpoint distant;
    asio::steady_timer minuterieFermeture;
    QByteArray sortie;
    QString client;
    quint16 portClient = 0;
    std::size_t maxLecture = 0;
    bool lectureArmee = false;
    bool veille = false;
    bool jeterEnVeille = false;
    bool ecritureArmee = false;
    bool fermetureDemandee = false;
    bool envoiFerme = false;
};

#endif
