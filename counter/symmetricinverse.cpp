#include "symmetricinverse.h"

#include <algorithm>
#include <cmath>

bool invertSymmetric(const QVector<double> &a, int size, QVector<double> *inverse)
{
    QVector<double> scale(size, 0.0);
    for (int i = 0; i < size; ++i)
        scale[i] = a[i * size + i] > 0.0 ? 1.0 / std::sqrt(a[i * size + i]) : 0.0;
    // Gauss-Jordan on [m | identity], with partial pivoting.
    QVector<double> m(size * size), inv(size * size, 0.0);
    for (int i = 0; i < size; ++i) {
        for (int j = 0; j < size; ++j)
            m[i * size + j] = a[i * size + j] * scale[i] * scale[j];
        if (scale[i] == 0.0)
            m[i * size + i] = 1.0; // a frozen parameter: decoupled
        inv[i * size + i] = 1.0;
    }
    for (int col = 0; col < size; ++col) {
        int pivot = col;
        for (int row = col + 1; row < size; ++row) {
            if (std::abs(m[row * size + col]) > std::abs(m[pivot * size + col]))
                pivot = row;
        }
        if (std::abs(m[pivot * size + col]) < 1e-13)
            return false;
        if (pivot != col) {
            for (int j = 0; j < size; ++j) {
                std::swap(m[col * size + j], m[pivot * size + j]);
                std::swap(inv[col * size + j], inv[pivot * size + j]);
            }
        }
        const double factor = 1.0 / m[col * size + col];
        for (int j = 0; j < size; ++j) {
            m[col * size + j] *= factor;
            inv[col * size + j] *= factor;
        }
        for (int row = 0; row < size; ++row) {
            const double f = m[row * size + col];
            if (row == col || f == 0.0)
                continue;
            for (int j = 0; j < size; ++j) {
                m[row * size + j] -= f * m[col * size + j];
                inv[row * size + j] -= f * inv[col * size + j];
            }
        }
    }
    inverse->resize(size * size);
    for (int i = 0; i < size; ++i) {
        for (int j = 0; j < size; ++j)
            (*inverse)[i * size + j] = inv[i * size + j] * scale[i] * scale[j];
    }
    return true;
}
