#ifndef DESCRIPTEURS_H
#define DESCRIPTEURS_H

// Raises the process's soft limit on open descriptors to its hard limit;
// returns the limit now in force.
int relacherLimiteDescripteurs();

// The limit on open descriptors now in force.
int limiteDescripteurs();

// How many descriptors the process has open.
int descripteursOuverts();

#endif
