#ifndef GARDEINSTANCE_H
#define GARDEINSTANCE_H

class QSharedMemory;

// A segment left by an instance that was killed outlives it on System V
// systems; with nobody attached it is removed, so that it refuses no later start.
void effacerSegmentAbandonne(QSharedMemory &segment);

// True when another instance holds the segment; otherwise this instance
// creates it and holds it for as long as segment lives.
bool autreInstanceActive(QSharedMemory &segment);

// The warning that a second instance shows before it ends.
void signalerAutreInstance();

#endif
