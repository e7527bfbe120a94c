#ifndef SYMMETRICINVERSE_H
#define SYMMETRICINVERSE_H

#include <QVector>

// The inverse of a symmetric positive semi-definite matrix (row-major, size x size), computed
// on its unit-diagonal scaling so that counts and levels of very different size do not spoil
// the pivots. Rows with a zero diagonal (a parameter the data do not touch) stay zero. False
// when the matrix is singular otherwise.
bool invertSymmetric(const QVector<double> &a, int size, QVector<double> *inverse);

#endif // SYMMETRICINVERSE_H
