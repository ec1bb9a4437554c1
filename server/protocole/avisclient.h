#ifndef AVISCLIENT_H
#define AVISCLIENT_H

#include "server/banque/banque.h"

#include <QString>

// The notices that a client is sent when the database fails its request.

// The database cannot serve the request.
QString avisBaseInjoignable();

// A transfer that the bank did not confirm: a commit whose answer was lost
// with the connection may have been made all the same.
QString avisVirementEchoue(const Banque::Constat &constat);

#endif
