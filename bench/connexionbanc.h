#ifndef CONNEXIONBANC_H
#define CONNEXIONBANC_H

// One client connection of the server benchmark, on an Asio event loop (epoll),
// so that one thread can hold ten thousand of them. Frames and scrambling are
// the project's own (wire/).

#include <asio.hpp>

#include <QByteArray>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

// A failure to run the benchmark (not a slow figure): the run stops with its message.
class EchecBanc : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Runs contexte until fini() holds, calling verifier() (which throws when a
// server has ended) every 200 ms; a time-out is a failure to run.
void attendreBanc(asio::io_context &contexte, const std::function<bool()> &fini,
                  const std::function<void()> &verifier, int secondes, const std::string &quoi);

class ConnexionBanc : public std::enable_shared_from_this<ConnexionBanc>
{
public:
    // The connection leaves from source (any address of 127.0.0.0/8), so that
    // per-address limits of the server see many clients, as they would be.
    static std::shared_ptr<ConnexionBanc> ouvrir(asio::io_context &contexte, const asio::ip::address_v4 &source,
                                                 const asio::ip::tcp::endpoint &serveur);

    explicit ConnexionBanc(asio::io_context &contexte);

    void envoyer(const QString &requete);
    // Drops the callbacks and closes; pending operations end on their own.
    void fermer();

    std::function<void()> surOuverture;
    std::function<void(const QString &)> surReponse;
    // Any end of the connection not asked by fermer(): refused, reset, closed by the
    // server. Without it, such an end stops the run (EchecBanc out of the event loop).
    std::function<void(const std::string &)> surEchec;

private:
    void lire();
    void ecrireSuivante();
    void echouer(const std::string &raison);

    asio::ip::tcp::socket socket;
    char tampon[1024];
    QByteArray recu;
    quint16 tailleAttendue = 0;
    std::deque<QByteArray> aEcrire;
    bool fermee = false;
};

#endif
