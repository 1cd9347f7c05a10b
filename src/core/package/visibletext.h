#ifndef VISIBLETEXT_H
#define VISIBLETEXT_H

#include <QString>

// Characters of a name or key that a reader cannot see or that act on a
// terminal when printed: control characters (Unicode category Cc), format
// characters (Cf: U+200B, U+202E, U+00AD, U+FEFF, ...) and UTF-16 surrogates
// without their other half, which no UTF-8 or JSON reader takes.

// The place of the first control or format character, or -1.
int firstControlOrFormat(const QString &text);

// The place of the first surrogate without its other half, or -1.
int firstLoneSurrogate(const QString &text);

// The text with every such character written as an escape, so that printing
// it shows it and does nothing else: \xNN below U+0100 ("\x1b", "\x00"),
// \uXXXX up to U+FFFF ("\u202e", "\ud800") and \UXXXXXXXX beyond. Other
// text, backslashes too, stays as it is: escaping an escaped text changes
// nothing.
QString escapedText(const QString &text);

#endif // VISIBLETEXT_H
