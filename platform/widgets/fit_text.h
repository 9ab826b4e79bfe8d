#pragma once
// The stand-in faces run wider than the ones the windows were laid out
// with: narrow a label's face, and if need be shrink it a little, until its
// text fits the label (on one line, or wrapped, as the label shows it).

class QFont;
class QLabel;

// Fits label's text starting from the given face, within the label's top
// height pixels (all of it when height is negative).
void fitLabelText(QLabel* label, const QFont& face, int height = -1);
// The same from the label's current face.
void fitLabelText(QLabel* label);
