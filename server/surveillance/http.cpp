#include "server/surveillance/http.h"

#include <QList>

namespace {

const char *raison(int code)
{
    switch (code) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    }
    return "Error";
}

bool estJeton(const QByteArray &mot)
{
    if (mot.isEmpty())
        return false;
    for (const char c : mot) {
        if (c < 'A' || c > 'Z')
            return false;
    }
    return true;
}

} // namespace

DemandeHttp lireDemandeHttp(const QByteArray &recu)
{
    DemandeHttp demande;
    // Bare line feeds are taken too, as most servers do.
    int fin = recu.indexOf("\r\n\r\n");
    if (fin < 0)
        fin = recu.indexOf("\n\n");
    if (fin < 0) {
        if (recu.size() > tailleMaxDemandeHttp)
            demande.etat = DemandeHttp::Etat::Invalide;
        return demande;
    }
    if (fin > tailleMaxDemandeHttp) {
        demande.etat = DemandeHttp::Etat::Invalide;
        return demande;
    }
    const int finLigne = recu.indexOf('\n');
    const QList<QByteArray> mots = recu.left(finLigne).trimmed().split(' ');
    demande.etat = DemandeHttp::Etat::Invalide;
    if (mots.size() != 3 || !estJeton(mots[0]) || !mots[1].startsWith('/') || !mots[2].startsWith("HTTP/1."))
        return demande;
    demande.etat = DemandeHttp::Etat::Complete;
    demande.methode = mots[0];
    const int requete = mots[1].indexOf('?');
    demande.chemin = requete < 0 ? mots[1] : mots[1].left(requete);
    return demande;
}

QByteArray reponseHttp(int code, const QByteArray &type, const QByteArray &corps, bool avecCorps,
                       const QByteArray &enTetes)
{
    QByteArray reponse = "HTTP/1.0 " + QByteArray::number(code) + ' ' + raison(code) + "\r\n";
    reponse += "Content-Type: " + type + "\r\n";
    reponse += "Content-Length: " + QByteArray::number(corps.size()) + "\r\n";
    reponse += "Cache-Control: no-store\r\nConnection: close\r\n" + enTetes + "\r\n";
    if (avecCorps)
        reponse += corps;
    return reponse;
}
