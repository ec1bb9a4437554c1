#include "connexionbanc.h"

#include "wire/codec.h"
#include "wire/trame.h"

#include <QBuffer>

#include <chrono>

std::shared_ptr<ConnexionBanc> ConnexionBanc::ouvrir(asio::io_context &contexte, const asio::ip::address_v4 &source,
                                                     const asio::ip::tcp::endpoint &serveur)
{
    auto connexion = std::make_shared<ConnexionBanc>(contexte);
    asio::error_code erreur;
    connexion->socket.open(asio::ip::tcp::v4(), erreur);
    if (!erreur)
        connexion->socket.bind(asio::ip::tcp::endpoint(source, 0), erreur);
    if (erreur)
        throw EchecBanc("cannot open a socket from " + source.to_string() + ": " + erreur.message()
                        + (erreur == asio::error::no_descriptors ? " (raise the descriptor limit)" : ""));
    connexion->socket.async_connect(serveur, [connexion](const asio::error_code &erreur) {
        if (connexion->fermee)
            return;
        if (erreur)
            return connexion->echouer("cannot connect: " + erreur.message());
        connexion->socket.set_option(asio::ip::tcp::no_delay(true));
        connexion->lire();
        const auto surOuverture = connexion->surOuverture;
        if (surOuverture)
            surOuverture();
    });
    return connexion;
}

ConnexionBanc::ConnexionBanc(asio::io_context &contexte) : socket(contexte) {}

void ConnexionBanc::envoyer(const QString &requete)
{
    aEcrire.push_back(construireTrame(brouiller(requete + QStringLiteral(":vers101"))));
    if (aEcrire.size() == 1)
        ecrireSuivante();
}

void ConnexionBanc::fermer()
{
    fermee = true;
    surOuverture = nullptr;
    surReponse = nullptr;
    surEchec = nullptr;
    asio::error_code ignoree;
    socket.close(ignoree);
}

void ConnexionBanc::ecrireSuivante()
{
    const QByteArray &trame = aEcrire.front();
    asio::async_write(socket, asio::buffer(trame.constData(), size_t(trame.size())),
                      [self = shared_from_this()](const asio::error_code &erreur, size_t) {
                          if (self->fermee)
                              return;
                          if (erreur)
                              return self->echouer("cannot send: " + erreur.message());
                          self->aEcrire.pop_front();
                          if (!self->aEcrire.empty())
                              self->ecrireSuivante();
                      });
}

void ConnexionBanc::lire()
{
    socket.async_read_some(asio::buffer(tampon), [self = shared_from_this()](const asio::error_code &erreur, size_t n) {
        if (self->fermee)
            return;
        if (erreur)
            return self->echouer(erreur == asio::error::eof ? "the server closed the connection"
                                                            : "cannot read: " + erreur.message());
        self->recu.append(self->tampon, int(n));
        QBuffer source(&self->recu);
        source.open(QIODevice::ReadOnly);
        QByteArray corps;
        while (!self->fermee && prendreCorpsTrame(source, self->tailleAttendue, corps)) {
            // A copy: the handler may replace itself, or close the connection.
            const auto surReponse = self->surReponse;
            if (surReponse)
                surReponse(debrouiller(lireTexteTrame(corps)));
        }
        if (self->fermee)
            return;
        self->recu.remove(0, int(source.pos()));
        self->lire();
    });
}

void ConnexionBanc::echouer(const std::string &raison)
{
    auto surEchec = std::move(this->surEchec);
    fermer();
    if (!surEchec)
        throw EchecBanc(raison);
    surEchec(raison);
}

void attendreBanc(asio::io_context &contexte, const std::function<bool()> &fini,
                  const std::function<void()> &verifier, int secondes, const std::string &quoi)
{
    const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(secondes);
    auto prochainControle = std::chrono::steady_clock::now();
    while (!fini()) {
        const auto maintenant = std::chrono::steady_clock::now();
        if (maintenant > limite)
            throw EchecBanc("timed out after " + std::to_string(secondes) + " s waiting for " + quoi);
        if (maintenant >= prochainControle) {
            verifier();
            prochainControle = maintenant + std::chrono::milliseconds(200);
        }
        contexte.run_one_for(std::chrono::milliseconds(50));
    }
}
