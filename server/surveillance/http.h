#ifndef HTTP_H
#define HTTP_H

// surveillance/: the operators' window on the server: a small HTTP endpoint
// on a port of its own for the health probe and the metrics. Uses reseau/,
// mesures/, banque/ and service/.

#include <QByteArray>

// The start of one HTTP request as far as it came: its method and path once
// the blank line that ends its headers is in.
struct DemandeHttp
{
    enum class Etat { Incomplete, Complete, Invalide };
    Etat etat = Etat::Incomplete;
    QByteArray methode;
    QByteArray chemin;  // without its query
};

// The most of a request kept: a probe's request is a few dozen bytes.
constexpr int tailleMaxDemandeHttp = 4096;

DemandeHttp lireDemandeHttp(const QByteArray &recu);

// A whole answer, closed after it (HTTP/1.0): a HEAD gets the headers alone.
QByteArray reponseHttp(int code, const QByteArray &type, const QByteArray &corps, bool avecCorps = true,
                       const QByteArray &enTetes = QByteArray());

#endif
