#include "server/journal.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace {

// Beyond this much, lines are written without waiting for the loop.
constexpr int tailleMaxTampon = 64 * 1024;

std::mutex verrou;
QByteArray tampon;
asio::io_context *boucle = nullptr;
bool viderPrevu = false;

void ecrire(const QByteArray &octets)
{
    const char *debut = octets.constData();
    qsizetype reste = octets.size();
    while (reste > 0) {
        const ssize_t ecrits = ::write(STDERR_FILENO, debut, size_t(reste));
        if (ecrits < 0 && errno == EINTR)
            continue;
        if (ecrits <= 0)
            return;
        debut += ecrits;
        reste -= ecrits;
    }
}

void ecrireTampon()
{
    ecrire(tampon);
    tampon.clear();
}

// A message pattern formats the whole date for every line, a sizeable part of
// what a transfer costs: the part that changes once a second is kept here.
QByteArray ligne(const QString &message)
{
    thread_local qint64 seconde = -1;
    thread_local QByteArray debut;
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    if (ms / 1000 != seconde) {
        seconde = ms / 1000;
        debut = QDateTime::fromSecsSinceEpoch(seconde).toString(QStringLiteral("yyyy-MM-ddThh:mm:ss.")).toLatin1();
    }
    char milliemes[8];
    std::snprintf(milliemes, sizeof milliemes, "%03d ", int(ms % 1000));
    QByteArray texte = debut;
    texte.append(milliemes).append(message.toLocal8Bit()).append('\n');
    return texte;
}

void journaliser(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    const QByteArray texte = ligne(message);
    std::lock_guard<std::mutex> garde(verrou);
    tampon += texte;
    const bool urgent = type != QtInfoMsg && type != QtDebugMsg;
    if (urgent || !boucle || tampon.size() > tailleMaxTampon) {
        ecrireTampon();
        return;
    }
    if (viderPrevu)
        return;
    viderPrevu = true;
    asio::post(*boucle, [] { Journal::vider(); });
}

} // namespace

Journal::Journal(asio::io_context &contexte)
{
    {
        std::lock_guard<std::mutex> garde(verrou);
        boucle = &contexte;
    }
    qInstallMessageHandler(journaliser);
}

Journal::~Journal()
{
    std::lock_guard<std::mutex> garde(verrou);
    boucle = nullptr;
    viderPrevu = false;
    ecrireTampon();
}

void Journal::vider()
{
    std::lock_guard<std::mutex> garde(verrou);
    viderPrevu = false;
    ecrireTampon();
}
