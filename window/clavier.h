#ifndef CLAVIER_H
#define CLAVIER_H

class QAbstractButton;
class QAbstractSpinBox;
class QLineEdit;

// Enter in a field presses the button of the field's tab, as in a dialog. A
// disabled button (an attempt under way) ignores it.
void entreePresseLeBouton(QLineEdit *champ, QAbstractButton *bouton);
void entreePresseLeBouton(QAbstractSpinBox *champ, QAbstractButton *bouton);

#endif
