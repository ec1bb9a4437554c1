#ifndef CLAVIER_H
#define CLAVIER_H

class QAbstractButton;
class QAbstractSpinBox;
class QLabel;
class QLineEdit;

// Enter in a field presses the button of the field's tab, as in a dialog. A
// disabled button (an attempt under way) ignores it.
void entreePresseLeBouton(QLineEdit *champ, QAbstractButton *bouton);
void entreePresseLeBouton(QAbstractSpinBox *champ, QAbstractButton *bouton);

// Tab and Shift+Tab reach the label, still read-only, and taking the focus
// selects its whole text, so that Ctrl+C copies it at once.
void texteCopiableAuClavier(QLabel *etiquette);

#endif
