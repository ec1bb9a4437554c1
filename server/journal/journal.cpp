#include "server/journal/journal.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Beyond this much, lines are written without waiting for the loop.
constexpr int tailleMaxTampon = 64 * 1024;

std::mutex verrou;
QByteArray tampon;
asio::io_context *boucle = nullptr;
bool viderPrevu = false;
NiveauJournal niveauRetenu = NiveauJournal::Info;
bool versJournald = false;

NiveauJournal niveauDe(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return NiveauJournal::Debogage;
    case QtInfoMsg:
        return NiveauJournal::Info;
    case QtWarningMsg:
        return NiveauJournal::Avertissement;
    default:
        return NiveauJournal::Erreur;
    }
}

// The journal's priorities, as sd-daemon.h spells them.
const char *prioriteJournald(NiveauJournal niveau)
{
    switch (niveau) {
    case NiveauJournal::Erreur:
        return "<3>";
    case NiveauJournal::Avertissement:
        return "<4>";
    case NiveauJournal::Info:
        return "<6>";
    case NiveauJournal::Debogage:
        break;
    }
    return "<7>";
}

const char *nomNiveau(NiveauJournal niveau)
{
    switch (niveau) {
    case NiveauJournal::Erreur:
        return "error ";
    case NiveauJournal::Avertissement:
        return "warning ";
    case NiveauJournal::Info:
        return "info ";
    case NiveauJournal::Debogage:
        break;
    }
    return "debug ";
}

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
QByteArray ligne(NiveauJournal niveau, const QString &message)
{
    if (versJournald) {
        QByteArray texte(prioriteJournald(niveau));
        texte.append(message.toLocal8Bit()).append('\n');
        return texte;
    }
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
    texte.append(milliemes).append(nomNiveau(niveau)).append(message.toLocal8Bit()).append('\n');
    return texte;
}

void journaliser(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    const NiveauJournal niveau = niveauDe(type);
    if (niveau > niveauRetenu)
        return;
    const QByteArray texte = ligne(niveau, message);
    std::lock_guard<std::mutex> garde(verrou);
    tampon += texte;
    const bool urgent = niveau < NiveauJournal::Info;
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

bool lireNiveauJournal(const QString &texte, NiveauJournal *niveau)
{
    if (texte == QLatin1String("error"))
        *niveau = NiveauJournal::Erreur;
    else if (texte == QLatin1String("warning"))
        *niveau = NiveauJournal::Avertissement;
    else if (texte == QLatin1String("notice") || texte == QLatin1String("info"))
        *niveau = NiveauJournal::Info;
    else if (texte == QLatin1String("debug"))
        *niveau = NiveauJournal::Debogage;
    else
        return false;
    return true;
}

bool stderrVersJournald()
{
    const QByteArray flux = qgetenv("JOURNAL_STREAM");
    const int deuxPoints = flux.indexOf(':');
    if (deuxPoints <= 0)
        return false;
    bool peripheriqueLu = false;
    bool inodeLu = false;
    const qulonglong peripherique = flux.left(deuxPoints).toULongLong(&peripheriqueLu);
    const qulonglong inode = flux.mid(deuxPoints + 1).toULongLong(&inodeLu);
    struct stat etat = {};
    if (!peripheriqueLu || !inodeLu || ::fstat(STDERR_FILENO, &etat) != 0)
        return false;
    return qulonglong(etat.st_dev) == peripherique && qulonglong(etat.st_ino) == inode;
}

void Journal::installer(NiveauJournal niveau)
{
    {
        std::lock_guard<std::mutex> garde(verrou);
        niveauRetenu = niveau;
        versJournald = stderrVersJournald();
    }
    qInstallMessageHandler(journaliser);
}

Journal::Journal(asio::io_context &contexte)
{
    std::lock_guard<std::mutex> garde(verrou);
    boucle = &contexte;
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
