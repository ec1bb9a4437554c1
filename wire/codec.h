#ifndef CODEC_H
#define CODEC_H

#include <QString>

// Every request and reply travels scrambled: each plain unit becomes a group
// of four units carrying a fresh random value, so no key is needed to read it.

QString brouiller(QString texte);
QString debrouiller(QString texte);

// The steps, exposed for tests.
QString complementer(QString texte);
QString melanger(QString texte);
QString demelanger(QString texte);

#endif
