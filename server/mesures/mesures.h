#ifndef MESURES_H
#define MESURES_H

// mesures/: the server's counters, gauges and latency histograms, and their
// text for a Prometheus scrape (text exposition format 0.0.4). One registry
// for the process, safe from any thread. Uses nothing of the project.

#include <QByteArray>

// A refusal as the journal logs it (its single-word reason): counted by
// reason, and as a login's or a transfer's outcome when it ends one.
void compterRefus(const char *motif);
// An event as the journal logs it: created, authenticated, transfer.
void compterEvenement(const char *evenement);
// A login or a transfer that the database failed: "failed", or "uncertain"
// for a commit whose outcome was lost with the connection.
void compterIdentificationEchouee();
void compterVirementEchoue(const char *issue);

// Seconds from a request read to its answer sent.
void observerIdentification(double secondes);
void observerVirement(double secondes);

// Gauges moved by a step (+1 or -1).
void varierConnexions(int pas);
void varierVerifications(int pas);
void varierAppelsBase(int pas);

void noterBase(bool enService);
void compterReconnexionBase();

// "r:" notices handed to connected clients, and those sent late, once the
// missed ones are read again from the database.
void compterAvisEnvoyes(int nombre = 1);
void compterAvisRejoues(int nombre = 1);

// Every metric in the text exposition format.
QByteArray texteMesures();
constexpr char typeTexteMesures[] = "text/plain; version=0.0.4; charset=utf-8";

#endif
