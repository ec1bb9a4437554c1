#ifndef OPTIONS_H
#define OPTIONS_H

// programme/: qovi-server, the program: its options, main, the admin commands
// and the exit codes. Uses every folder of the server.

#include "server/acces/identification.h"
#include "server/journal/journal.h"
#include "server/reseau/proxysdeconfiance.h"
#include "server/service/serveur.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

class QCommandLineParser;

// What the command line sets, for serving and for the admin commands.
struct Options
{
    QHostAddress adresse;
    quint16 port = 50885;
    QString base;
    int delaiMs = 30000;
    Serveur::Limites limites;
    int creationsParMinute = creationsParMinuteParDefaut;
    QList<SousReseau> proxys;
    NiveauJournal niveauJournal = NiveauJournal::Info;
    // The health probe and metrics over HTTP; off without a port.
    bool surveiller = false;
    QHostAddress adresseSurveillance = QHostAddress::LocalHost;
    quint16 portSurveillance = 0;
};

// The description, the options and the command's argument, for --help.
void declarerOptions(QCommandLineParser &ligne);

// The options read and checked, or a message that names what is wrong.
bool lireOptions(const QCommandLineParser &ligne, Options *options, QString *erreur);

// A negative number given as an amount is a wrong amount, not an unknown
// option: it is kept apart from the options, marked, and given back as it was.
QStringList marquerNegatifs(const QStringList &arguments);
QStringList demarquer(QStringList arguments);

#endif
