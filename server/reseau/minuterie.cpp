#include "server/reseau/minuterie.h"

#include <QPointer>

#include <asio/post.hpp>

#include <chrono>

Minuterie::Minuterie(asio::io_context &contexte, std::function<void()> action)
    : horloge(contexte)
    , action(std::move(action))
    , jeton(std::make_shared<Minuterie *>(this))
{
}

Minuterie::~Minuterie()
{
    arreter();
}

void Minuterie::demarrer(int delaiMs)
{
    arreter();
    active = true;
    horloge.expires_after(std::chrono::milliseconds(delaiMs));
    horloge.async_wait([temoin = std::weak_ptr<Minuterie *>(jeton), armement = armement](const asio::error_code &) {
        if (const auto vivante = temoin.lock())
            (*vivante)->echue(armement);
    });
}

void Minuterie::arreter()
{
    ++armement;
    if (!active)
        return;
    active = false;
    horloge.cancel();
}

void Minuterie::echue(unsigned arme)
{
    if (arme != armement || !active)
        return;
    active = false;
    action();
}

void plusTard(asio::io_context &contexte, int delaiMs, QObject *garde, std::function<void()> action)
{
    auto horloge = std::make_shared<asio::steady_timer>(contexte, std::chrono::milliseconds(delaiMs));
    horloge->async_wait([horloge, garde = QPointer<QObject>(garde), action = std::move(action)](
                            const asio::error_code &erreur) {
        if (!erreur && garde)
            action();
    });
}

void ensuite(asio::io_context &contexte, QObject *garde, std::function<void()> action)
{
    asio::post(contexte, [garde = QPointer<QObject>(garde), action = std::move(action)] {
        if (garde)
            action();
    });
}
